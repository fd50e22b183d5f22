// System message texts for FormatMessage, in English and German, for the error codes in use.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "internal.h"

using namespace winsim;

namespace {

struct Message {
    DWORD code;
    const char* en;
    const char* de;
};

const Message kMessages[] = {
    {ERROR_SUCCESS, "The operation completed successfully.", "Der Vorgang wurde erfolgreich beendet."},
    {ERROR_INVALID_FUNCTION, "Incorrect function.", "Unzul\xC3\xA4ssige Funktion."},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.",
     "Das System kann die angegebene Datei nicht finden."},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified.",
     "Das System kann den angegebenen Pfad nicht finden."},
    {ERROR_TOO_MANY_OPEN_FILES, "The system cannot open the file.", "Das System kann die Datei nicht \xC3\xB6""ffnen."},
    {ERROR_ACCESS_DENIED, "Access is denied.", "Zugriff verweigert."},
    {ERROR_INVALID_HANDLE, "The handle is invalid.", "Das Handle ist ung\xC3\xBCltig."},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough storage is available to process this command.",
     "Nicht gen\xC3\xBCgend Speicher verf\xC3\xBCgbar, um diesen Befehl zu verarbeiten."},
    {ERROR_BAD_FORMAT, "An attempt was made to load a program with an incorrect format.",
     "Es wurde versucht, ein Programm mit einem falschen Format zu laden."},
    {ERROR_INVALID_DATA, "The data is invalid.", "Die Daten sind ung\xC3\xBCltig."},
    {ERROR_OUTOFMEMORY, "Not enough storage is available to complete this operation.",
     "Nicht gen\xC3\xBCgend Speicher verf\xC3\xBCgbar, um diesen Vorgang abzuschlie\xC3\x9F""en."},
    {ERROR_INVALID_DRIVE, "The system cannot find the drive specified.",
     "Das System kann das angegebene Laufwerk nicht finden."},
    {ERROR_NO_MORE_FILES, "There are no more files.", "Es sind keine weiteren Dateien vorhanden."},
    {ERROR_WRITE_PROTECT, "The media is write protected.", "Der Datentr\xC3\xA4ger ist schreibgesch\xC3\xBCtzt."},
    {ERROR_NOT_READY, "The device is not ready.", "Das Ger\xC3\xA4t ist nicht bereit."},
    {ERROR_CRC, "Data error (cyclic redundancy check).", "Datenfehler (CRC-Pr\xC3\xBC""fung)."},
    {ERROR_WRITE_FAULT, "The system cannot write to the specified device.",
     "Das System kann nicht auf das angegebene Ger\xC3\xA4t schreiben."},
    {ERROR_READ_FAULT, "The system cannot read from the specified device.",
     "Das System kann nicht von dem angegebenen Ger\xC3\xA4t lesen."},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning.",
     "Ein an das System angeschlossenes Ger\xC3\xA4t funktioniert nicht."},
    {ERROR_SHARING_VIOLATION, "The process cannot access the file because it is being used by another process.",
     "Der Prozess kann nicht auf die Datei zugreifen, da sie von einem anderen Prozess verwendet wird."},
    {ERROR_HANDLE_EOF, "Reached the end of the file.", "Das Dateiende wurde erreicht."},
    {ERROR_NOT_SUPPORTED, "The request is not supported.", "Die Anforderung wird nicht unterst\xC3\xBCtzt."},
    {ERROR_FILE_EXISTS, "The file exists.", "Die Datei ist vorhanden."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect.", "Falscher Parameter."},
    {ERROR_DISK_FULL, "There is not enough space on the disk.",
     "Auf dem Datentr\xC3\xA4ger ist nicht gen\xC3\xBCgend Speicherplatz vorhanden."},
    {ERROR_CALL_NOT_IMPLEMENTED, "This function is not supported on this system.",
     "Diese Funktion wird auf diesem System nicht unterst\xC3\xBCtzt."},
    {ERROR_SEM_TIMEOUT, "The semaphore timeout period has expired.",
     "Das Zeitlimit f\xC3\xBCr die Semaphore wurde erreicht."},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small.",
     "Der an einen Systemaufruf \xC3\xBC""bergebene Datenbereich ist zu klein."},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect.",
     "Die Syntax f\xC3\xBCr den Dateinamen, Verzeichnisnamen oder die Datentr\xC3\xA4gerbezeichnung ist falsch."},
    {ERROR_MOD_NOT_FOUND, "The specified module could not be found.",
     "Das angegebene Modul wurde nicht gefunden."},
    {ERROR_PROC_NOT_FOUND, "The specified procedure could not be found.",
     "Die angegebene Prozedur wurde nicht gefunden."},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists.",
     "Eine Datei kann nicht erstellt werden, wenn sie bereits vorhanden ist."},
    {ERROR_BAD_EXE_FORMAT, "The file is not a valid application.", "Die Datei ist keine zul\xC3\xA4ssige Anwendung."},
    {ERROR_FILENAME_EXCED_RANGE, "The filename or extension is too long.",
     "Der Dateiname oder die Erweiterung ist zu lang."},
    {ERROR_MORE_DATA, "More data is available.", "Weitere Daten sind verf\xC3\xBCgbar."},
    {WAIT_TIMEOUT, "The wait operation timed out.", "Der Wartevorgang wurde abgebrochen."},
    {ERROR_NO_MORE_ITEMS, "No more data is available.", "Es sind keine weiteren Daten verf\xC3\xBCgbar."},
    {ERROR_DIRECTORY, "The directory name is invalid.", "Der Verzeichnisname ist ung\xC3\xBCltig."},
    {ERROR_OPERATION_ABORTED, "The I/O operation has been aborted.",
     "Der E/A-Vorgang wurde abgebrochen."},
    {ERROR_IO_DEVICE, "The request could not be performed because of an I/O device error.",
     "Die Anforderung konnte wegen eines E/A-Ger\xC3\xA4te""fehlers nicht ausgef\xC3\xBChrt werden."},
    {ERROR_DEVICE_NOT_CONNECTED, "The device is not connected.", "Das Ger\xC3\xA4t ist nicht angeschlossen."},
    {ERROR_NOT_FOUND, "Element not found.", "Element nicht gefunden."},
    {ERROR_TIMEOUT, "This operation returned because the timeout period expired.",
     "Dieser Vorgang wurde wegen Zeit\xC3\xBC""berschreitung zur\xC3\xBC""ckgegeben."},
    {ERROR_SERVICE_DOES_NOT_EXIST, "The specified service does not exist as an installed service.",
     "Der angegebene Dienst ist kein installierter Dienst."},
    {ERROR_SERVICE_ALREADY_RUNNING, "An instance of the service is already running.",
     "Eine Instanz des Dienstes wird bereits ausgef\xC3\xBChrt."},
    {ERROR_SERVICE_EXISTS, "The specified service already exists.", "Der angegebene Dienst ist bereits vorhanden."},
    {ERROR_REGISTRY_CORRUPT, "The registry is corrupted.", "Die Registrierung ist besch\xC3\xA4""digt."},
    {ERROR_RESOURCE_TYPE_NOT_FOUND, "The specified resource type cannot be found in the image file.",
     "Der angegebene Ressourcentyp wurde in der Abbilddatei nicht gefunden."},
    {ERROR_RESOURCE_NAME_NOT_FOUND, "The specified resource name cannot be found in the image file.",
     "Der angegebene Ressourcenname wurde in der Abbilddatei nicht gefunden."},
    {ERROR_RESOURCE_LANG_NOT_FOUND, "The specified resource language ID cannot be found in the image file.",
     "Die angegebene Ressourcensprach-ID wurde in der Abbilddatei nicht gefunden."},
};

constexpr DWORD kMessageNotFound = 317;  // ERROR_MR_MID_NOT_FOUND

}  // namespace

extern "C" {

DWORD WINAPI FormatMessageA(DWORD flags, LPCVOID source, DWORD id, DWORD language, LPSTR buffer, DWORD size,
                            void* arguments) {
    const DWORD known = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM |
                        FORMAT_MESSAGE_MAX_WIDTH_MASK;
    // Only system messages are simulated, and their texts hold no inserts.
    if ((flags & ~known) || !(flags & FORMAT_MESSAGE_FROM_SYSTEM) || source || (arguments && !(flags & FORMAT_MESSAGE_IGNORE_INSERTS))) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return 0;
    }
    if (!buffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    LANGID lang = static_cast<LANGID>(language);
    if (PRIMARYLANGID(lang) == LANG_NEUTRAL) lang = currentLab().uiLanguage();
    const Message* found = nullptr;
    for (const Message& m : kMessages)
        if (m.code == id) found = &m;
    if (!found) {
        SetLastError(kMessageNotFound);
        return 0;
    }
    std::string text = PRIMARYLANGID(lang) == LANG_GERMAN ? found->de : found->en;
    // A width of FORMAT_MESSAGE_MAX_WIDTH_MASK drops the line end; any other width keeps it.
    if ((flags & FORMAT_MESSAGE_MAX_WIDTH_MASK) != FORMAT_MESSAGE_MAX_WIDTH_MASK) text += "\r\n";
    if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        const size_t n = std::max<size_t>(text.size() + 1, size);
        char* mem = static_cast<char*>(LocalAlloc(LPTR, n));
        if (!mem) return 0;
        std::memcpy(mem, text.c_str(), text.size() + 1);
        *reinterpret_cast<char**>(buffer) = mem;
        return static_cast<DWORD>(text.size());
    }
    if (text.size() + 1 > size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return static_cast<DWORD>(text.size());
}

}  // extern "C"
