// zelfin-image info: loads an image as each family's plug-in does and reports what it reads.
#include <image/binfile.h>
#include <image/inspect.h>

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

    nlohmann::json out;
    out["file"] = file;
    bool first = true;
    for (image::BinFamily family : families) {
        image::BinFile bin(family, captureLog);
        if (!bin.Load(file.c_str())) return failure("cannot load " + file + ": " + lastLogMessage());
        const image::ImageFacts facts = image::InspectImage(bin.data(), bin.length(), family);
        if (json) {
            out[familyName(family)] = factsToJson(facts);
        } else {
            if (first) std::cout << "File: " << file << "\n";
            printFacts(std::cout, facts);
        }
        first = false;
    }
    if (json) std::cout << out.dump(2) << "\n";
    return kOk;
}

}  // namespace imagetool
