// zelfin-rc: compiles a resource script into the resource directory a module carries.
//
//   zelfin-rc [-I dir]... [-o OUT.S] [--raw BLOB] [--depfile OUT.d] SCRIPT.rc
//
// OUT.S places the directory in the module's ".zrsrc" section; BLOB is the bare directory.
// Errors are reported as "file:line: message" and end the run with exit code 1.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "rc.h"

namespace fs = std::filesystem;

namespace {

void usage(FILE* to) {
    std::fputs(
        "usage: zelfin-rc [-I dir]... [-o OUT.S] [--raw BLOB] [--depfile OUT.d] SCRIPT.rc\n"
        "Compiles a resource script into a resource directory.\n"
        "  -I dir          also look for included headers and data files in dir\n"
        "  -o OUT.S        write an assembler file that puts the directory into section .zrsrc\n"
        "  --raw BLOB      write the bare directory\n"
        "  --depfile FILE  write the files the output depends on, in Makefile syntax\n",
        to);
}

// Writes through a temporary file so that a failed run never leaves half an output behind.
void writeFile(const fs::path& path, const void* data, size_t size) {
    const fs::path tmp = path.string() + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out) throw std::runtime_error("cannot write " + tmp.string());
        out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
        if (!out.flush()) throw std::runtime_error("cannot write " + tmp.string());
    }
    fs::rename(tmp, path);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<fs::path> includeDirs;
    std::string output, raw, depfile, script;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char* option) -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "zelfin-rc: %s needs a value\n", option);
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "-h" || arg == "--help") {
            usage(stdout);
            return 0;
        } else if (arg == "-I") {
            includeDirs.emplace_back(value("-I"));
        } else if (arg.rfind("-I", 0) == 0) {
            includeDirs.emplace_back(arg.substr(2));
        } else if (arg == "-o") {
            output = value("-o");
        } else if (arg == "--raw") {
            raw = value("--raw");
        } else if (arg == "--depfile") {
            depfile = value("--depfile");
        } else if (!arg.empty() && arg[0] == '-') {
            std::fprintf(stderr, "zelfin-rc: unknown option %s\n", arg.c_str());
            usage(stderr);
            return 2;
        } else if (script.empty()) {
            script = arg;
        } else {
            std::fprintf(stderr, "zelfin-rc: only one script at a time\n");
            return 2;
        }
    }
    if (script.empty() || (output.empty() && raw.empty())) {
        usage(stderr);
        return 2;
    }

    try {
        const rc::Script parsed = rc::parse(script, includeDirs);
        const std::vector<uint8_t> blob = rc::buildDirectory(parsed);
        if (!output.empty()) {
            const std::string text = rc::assemblyFor(blob);
            writeFile(output, text.data(), text.size());
        }
        if (!raw.empty()) writeFile(raw, blob.data(), blob.size());
        if (!depfile.empty()) {
            const std::string text = rc::depfileFor(output.empty() ? raw : output, parsed.dependencies);
            writeFile(depfile, text.data(), text.size());
        }
    } catch (const rc::Error& e) {
        std::fprintf(stderr, "%s:%d: %s\n", e.where.file.c_str(), e.where.line, e.what());
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zelfin-rc: %s\n", e.what());
        return 1;
    }
    return 0;
}
