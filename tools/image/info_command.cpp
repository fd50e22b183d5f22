// zelfin-image info: loads an image as each family's plug-in does and reports what it reads.
#include <image/binfile.h>
#include <image/inspect.h>

#include <tools/file_reason.h>

#include <iostream>
#include <optional>

#include "commands.h"
#include "report.h"

namespace imagetool {

int runInfo(const std::vector<std::string>& args) {
    std::string file;
    std::optional<image::BinFamily> only;
    bool json = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            std::cout << kInfoUsage;
            return kOk;
        }
        if (a == "--json") {
            json = true;
        } else if (a == "--family") {
            image::BinFamily family;
            if (i + 1 >= args.size() || !parseFamily(args[i + 1], &family))
                return usageError("--family takes tarn or scsi");
            only = family;
            ++i;
        } else if (a.rfind("--", 0) == 0) {
            return usageError("unknown option '" + a + "' for info");
        } else if (file.empty()) {
            file = a;
        } else {
            return usageError("info takes one file");
        }
    }
    if (file.empty()) return usageError("info needs a file");

    std::vector<image::BinFamily> families;
    if (only) {
        families.push_back(*only);
    } else {
        families = {image::BinFamily::Tarn, image::BinFamily::Scsi};
    }

    const std::string problem = tools::inputFileProblem(file, false);
    if (!problem.empty()) return failure("cannot read " + file + ": " + problem);
    uint32_t fileLength = 0;
    if (HANDLE h = CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        h != INVALID_HANDLE_VALUE) {
        fileLength = GetFileSize(h, nullptr);
        CloseHandle(h);
    }

    nlohmann::json out;
    out["file"] = file;
    out["fileLength"] = fileLength;
    bool anyAccepted = false;
    bool shown = false;
    for (image::BinFamily family : families) {
        image::BinFile bin(family, captureLog);
        if (!bin.Load(file.c_str())) return failure("cannot read " + file + ": " + lastLogMessage());
        const image::ImageFacts facts = image::InspectImage(bin.data(), bin.length(), family);
        anyAccepted = anyAccepted || facts.status == KPL_OK;
        if (json) {
            nlohmann::json j = factsToJson(facts);
            j["recognised"] = recognises(facts);
            out[familyName(family)] = j;
            continue;
        }
        if (!shown) std::cout << "File: " << file << " (" << fileLength << " bytes)\n";
        shown = true;
        // A family that does not know the image has nothing to say about it: its reading of
        // another family's bytes (a "version" that is just some byte) would only mislead.
        if (only || recognises(facts))
            printFacts(std::cout, facts);
        else
            printRefusal(std::cout, facts);
    }
    if (json)
        std::cout << out.dump(2) << "\n";
    else
        std::cout << kInfoTerms;
    if (anyAccepted) return kOk;
    std::cerr << "zelfin-image: " << file << " is not a firmware image "
              << (families.size() == 1 ? std::string("of the ") + familyName(families[0]) + " family" : "of either family")
              << "\n";
    return kRefused;
}

}  // namespace imagetool
