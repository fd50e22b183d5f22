// zelfin-config: shows and writes Zelfin configuration files from installation scripts.
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "tool.h"

namespace {

const char kUsage[] =
    "Usage: zelfin-config show FILE [--json]\n"
    "       zelfin-config write FILE [--option KEY=VALUE]... [--download PATH]... [--symlink TEXT]\n"
    "                           [--mkdir]\n"
    "       zelfin-config --help | --version\n"
    "\n"
    "Shows and writes Zelfin configuration files (Zelfin.cfg): a checksum followed by 520-byte\n"
    "records, read by Zelfin at start-up and by its plug-ins.\n"
    "\n"
    "show   prints the checksum (stored and computed), every option, every image and the \"SymLink\"\n"
    "       record, section by section as Zelfin reads them, and where and why the read stops when\n"
    "       it stops before the end of the file. A file with a wrong checksum is still shown, but\n"
    "       Zelfin would use none of it.\n"
    "       With --json it prints one object:\n"
    "         {\"file\": \"...\", \"size\": 2084,\n"
    "          \"crc\": {\"status\": \"match\"|\"mismatch\"|\"empty\"|\"too-short\"|\"unreadable\",\n"
    "                  \"stored\": \"0x6E491BEB\"|null, \"computed\": \"0x6E491BEB\"|null, \"ok\": true},\n"
    "          \"options\": [{\"key\": \"GUI\", \"value\": \"no\", \"known\": true}, ...],\n"
    "          \"downloads\": [\"E:\\\\fw.bin\", ...],\n"
    "          \"symlink\": null|\"...\",\n"
    "          \"sections\": [{\"header\": \"Options\"|\"Download\"|\"SymLink\", \"offset\": 4,\n"
    "                        \"count\": 2, \"records\": 2}, ...],\n"
    "          \"complete\": true,\n"
    "          \"error\": null|{\"reason\": \"read-failed\"|\"missing-option\"|\"missing-download\"|\n"
    "                             \"unknown-header\", \"offset\": 524, \"message\": \"...\"}}\n"
    "       \"known\" tells whether Zelfin itself knows the key (plug-ins may know others); \"count\"\n"
    "       is the header's count, \"records\" how many records the section took (at most 30 for\n"
    "       \"Download\"); \"complete\" is false and \"error\" set when the read stopped early.\n"
    "\n"
    "write  writes a new file: the \"Options\" section (when options are given), the \"Download\"\n"
    "       section (when images are given) and the \"SymLink\" record (when given), then the\n"
    "       checksum. Options and images keep their order. An option key Zelfin does not know is\n"
    "       written after a warning, since a plug-in may know it. At most 30 images; every text\n"
    "       must be shorter than 260 bytes. An existing file is replaced only once the new one is\n"
    "       complete; on failure it stays as it was. A folder of FILE that does not exist is an\n"
    "       error, unless --mkdir asks to create it.\n"
    "       Texts that are not printable (control bytes, bytes that are no UTF-8 text) are shown\n"
    "       by show as \\xNN.\n"
    "\n"
    "Known option keys: GUI BACKUP DISABLELOG REPORTSTATUS UPGRADEONLY MATCHFEATURE MATCHVIDPID\n"
    "RECOVERKRD50N FORCEFS EXCLUSIVEDFU RETRIES MATCHBYSYMLINK MATCHDFUDEVBYPRODTYPE DISABLEHELP\n"
    "SIGFILEONLY FORCE_COM_PORT DEVICE_ADDRESS (case-sensitive; yes/no values mean yes only when\n"
    "they equal \"yes\" ignoring case).\n"
    "\n"
    "FILE is a path as Zelfin sees it: a Linux path such as /tmp/Zelfin.cfg, or a path of the lab\n"
    "such as C:\\Zelfin\\Zelfin.cfg (the lab is named by ZELFIN_LAB).\n"
    "\n"
    "Exit codes: 0 success; 1 the file cannot be read or written, or its content is wrong (show: a\n"
    "wrong checksum or a read that stops early; write: too many images or a text too long, or a\n"
    "missing folder); 2 wrong usage. Every error is one line on standard error naming the file\n"
    "and the reason.\n";

}  // namespace

namespace configtool {

int usageError(const std::string& message) {
    std::cerr << "zelfin-config: " << message << "\nTry 'zelfin-config --help'.\n";
    return kExitUsage;
}

}  // namespace configtool

int main(int argc, char** argv) {
    using namespace configtool;
    std::vector<std::string> args(argv + 1, argv + argc);
    for (const std::string& a : args) {
        if (a == "--help" || a == "-h") {
            std::cout << kUsage;
            return kExitOk;
        }
        if (a == "--version") {
            std::cout << "zelfin-config " << ZELFIN_VERSION << "\n";
            return kExitOk;
        }
    }
    if (args.empty()) return usageError("no command given");
    const std::string command = args.front();
    args.erase(args.begin());
    if (command == "show") return runShow(args);
    if (command == "write") return runWrite(args);
    return usageError("unknown command '" + command + "'");
}
