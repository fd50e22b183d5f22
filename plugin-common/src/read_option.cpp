#include <plugin-common/read_option.h>
#include <winsim/windows.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kFieldSize = 260;
constexpr DWORD kChecksumSize = 4;  // the file opens with its checksum, which a plug-in does not check
constexpr char kOptionsHeader[] = "Options";

struct Record {
    char name[kFieldSize];
    char value[kFieldSize];
};
static_assert(sizeof(Record) == 520, "a configuration record is 520 bytes on disk");

bool readRecord(HANDLE file, Record* record) {
    DWORD read = 0;
    return ReadFile(file, record, sizeof *record, &read, nullptr) && read == sizeof *record;
}

// A field's text: up to its first NUL, never more than the field (a full field may lack one).
size_t fieldLength(const char (&field)[kFieldSize]) { return strnlen(field, kFieldSize); }

bool equalsNoCase(const char (&field)[kFieldSize], const char* key) {
    const size_t n = fieldLength(field);
    if (std::strlen(key) != n) return false;
    for (size_t i = 0; i < n; ++i) {
        const auto a = static_cast<unsigned char>(field[i]), b = static_cast<unsigned char>(key[i]);
        if ((a >= 'a' && a <= 'z' ? a - 32 : a) != (b >= 'a' && b <= 'z' ? b - 32 : b)) return false;
    }
    return true;
}

// The count of a header as atoi reads it; out-of-range numbers saturate instead of overflowing.
long long headerCount(const char (&field)[kFieldSize]) {
    char text[kFieldSize + 1] = {};
    std::memcpy(text, field, fieldLength(field));
    return std::strtoll(text, nullptr, 10);
}

}  // namespace

int32_t ReadOption(const char* configPath, const char* key, char* value) {
    if (value) value[0] = '\0';
    if (!configPath || !key || !value) return 0;
    HANDLE file = CreateFileA(configPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    int32_t found = 0;
    Record record;
    if (SetFilePointer(file, kChecksumSize, nullptr, FILE_BEGIN) == kChecksumSize && readRecord(file, &record) &&
        fieldLength(record.name) == sizeof kOptionsHeader - 1 &&
        std::memcmp(record.name, kOptionsHeader, sizeof kOptionsHeader - 1) == 0) {
        const long long count = headerCount(record.value);
        for (long long i = 0; i < count && readRecord(file, &record); ++i) {
            if (!equalsNoCase(record.name, key)) continue;
            const size_t n = fieldLength(record.value) < kOptionValueSize ? fieldLength(record.value) : kOptionValueSize - 1;
            std::memcpy(value, record.value, n);
            value[n] = '\0';
            found = 1;
            break;
        }
    }
    CloseHandle(file);
    return found;
}

bool OptionIsYes(const char* value) {
    return value && (value[0] == 'y' || value[0] == 'Y') && (value[1] == 'e' || value[1] == 'E') &&
           (value[2] == 's' || value[2] == 'S') && value[3] == '\0';
}
