// A second process for winsim's tests: "section NAME" opens a named section and prints "new"
// or "exists"; "cmdline" prints the command line as the program sees it.
#include <winsim/windows.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "section") == 0) {
        HANDLE h = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 32, argv[2]);
        if (!h) {
            std::printf("error %u\n", GetLastError());
            return 1;
        }
        std::printf("%s\n", GetLastError() == ERROR_ALREADY_EXISTS ? "exists" : "new");
        CloseHandle(h);
        return 0;
    }
    if (argc >= 2 && std::strcmp(argv[1], "cmdline") == 0) {
        std::printf("%s\n", GetCommandLineA());
        return 0;
    }
    return 2;
}
