// zelfin-image: shows what the plug-ins read from a firmware image, and builds images of every
// type the two reader families know, valid or with the faults asked for.
#include <cstdarg>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "commands.h"

namespace imagetool {

const char kUsageText[] =
    "Usage: zelfin-image COMMAND [ARGS]\n"
    "\n"
    "Shows and builds firmware images for the Tarn (USB) and SCSI reader families.\n"
    "\n"
    "Commands:\n"
    "  info FILE [--family tarn|scsi] [--json]   what the plug-ins read from an image and\n"
    "                                            whether they accept it\n"
    "  build OUT --family tarn|scsi --type N ... write an image (see 'zelfin-image build --help')\n"
    "\n"
    "Files are opened as the plug-ins open them: Linux paths, or C:\\ paths inside the lab named\n"
    "by ZELFIN_LAB.\n"
    "Exit codes: 0 done, 1 failed (the file cannot be read or written; the reason is one line on\n"
    "standard error), 2 wrong usage, 3 info: no family (of those asked) accepts the image.\n"
    "--version prints the version.\n";

const char kInfoUsage[] =
    "Usage: zelfin-image info FILE [--family tarn|scsi] [--json]\n"
    "\n"
    "Loads FILE as the family's plug-in does (its length rounded up to 512 bytes for Tarn, 64 for\n"
    "SCSI) and reports the file's own length and the rounded one, the decided type, the trailer and\n"
    "type markers, the CAPAB, CSED and DESC blocks with the string descriptors, the serial-number\n"
    "block, the checked range and its result, and the status the plug-in's image check gives (0,\n"
    "207 or 208), followed by a line on each term. Without --family both families are asked, and\n"
    "a family that does not recognise the image's type gets one line instead of its reading.\n"
    "--json prints one JSON object instead of text: {\"file\", \"fileLength\", \"tarn\": {...},\n"
    "\"scsi\": {...}}, each family with \"recognised\" and \"accepted\".\n"
    "Exit code 3 when no family asked accepts the image (the reason is one line on standard\n"
    "error); 1 when the file cannot be read (missing, a folder, empty).\n";

const char kBuildUsage[] =
    "Usage: zelfin-image build OUT --family tarn|scsi --type N [OPTIONS]\n"
    "\n"
    "Writes an image the family accepts, with its type marker, trailer and blocks in place and the\n"
    "checked range balanced, unless the options ask for a faulty one.\n"
    "\n"
    "  --type N                  Tarn: 0-5, 7-10, or 11 (unknown); SCSI: 0-2, or 3 (unknown)\n"
    "  --size BYTES              file size (default: the length the type asks for)\n"
    "  --product-type N          CAPAB product type, 0-255 (default 1; 16 for Tarn type 2)\n"
    "  --feature N               CAPAB firmware feature, 0-255 (default 0)\n"
    "  --version MAJOR.MINOR     firmware version, each 0-255 (default 1.0); Tarn type 2 also\n"
    "                            carries it at offset 16\n"
    "  --integrity crc|chksum|none\n"
    "                            the checked range: CRCCODEBEGIN up to the end (Tarn default),\n"
    "                            CHKSUMSIG over 0x1000-0xFFFF (SCSI default), or none\n"
    "  --json                    print what the written image holds as JSON\n"
    "\n"
    "Tarn family only:\n"
    "  --vid HEX --pid HEX       USB identifiers of the CSED descriptor (default 04CC 2000)\n"
    "  --manufacturer TEXT       string descriptor 1 (default \"Quorvex\")\n"
    "  --product TEXT            string descriptor 2 (default \"Card Reader\")\n"
    "  --serial none|dword:HEX|string:TEXT\n"
    "                            the SERCHKC block (default dword:0, the placeholder of a new\n"
    "                            image); none switches serial numbers off in the descriptor\n"
    "\n"
    "Faults on request:\n"
    "  --omit LIST               leave out, comma-separated: capab, csed, desc, serial-block,\n"
    "                            marker, trailer\n"
    "  --unbalanced              make the checked range sum to 1\n"
    "  --crc-length N            store N as the CRCCODEBEGIN length (0-65535)\n";

int usageError(const std::string& message) {
    std::cerr << "zelfin-image: " << message << "\nTry 'zelfin-image --help'.\n";
    return kUsage;
}

int failure(const std::string& message) {
    std::cerr << "zelfin-image: " << message << "\n";
    return kFailed;
}

namespace {
std::string g_lastLog;
}

void captureLog(const char* format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    g_lastLog = line;
}

std::string lastLogMessage() {
    // The "unit(line) :" prefix means nothing to a user of the tool.
    const auto colon = g_lastLog.find(") :");
    return colon == std::string::npos ? g_lastLog : g_lastLog.substr(colon + 3);
}

bool parseFamily(const std::string& text, image::BinFamily* family) {
    if (text == "tarn") {
        *family = image::BinFamily::Tarn;
    } else if (text == "scsi") {
        *family = image::BinFamily::Scsi;
    } else {
        return false;
    }
    return true;
}

namespace {
bool parseDigits(const std::string& text, int base, uint64_t max, uint64_t* value) {
    if (text.empty()) return false;
    uint64_t v = 0;
    for (char c : text) {
        int digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else {
            return false;
        }
        v = v * base + digit;
        if (v > max) return false;
    }
    *value = v;
    return true;
}
}  // namespace

bool parseNumber(const std::string& text, uint64_t max, uint64_t* value) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        return parseDigits(text.substr(2), 16, max, value);
    return parseDigits(text, 10, max, value);
}

bool parseHex(const std::string& text, uint64_t max, uint64_t* value) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        return parseDigits(text.substr(2), 16, max, value);
    return parseDigits(text, 16, max, value);
}

}  // namespace imagetool

int main(int argc, char** argv) {
    using namespace imagetool;
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return usageError("no command given");
    const std::string command = args[0];
    args.erase(args.begin());
    if (command == "--help" || command == "-h" || command == "help") {
        std::cout << kUsageText;
        return kOk;
    }
    if (command == "--version") {
        std::cout << "zelfin-image " << ZELFIN_VERSION << "\n";
        return kOk;
    }
    if (command == "info") return runInfo(args);
    if (command == "build") return runBuild(args);
    return usageError("unknown command '" + command + "'");
}
