// zelfin-image build: writes an image from the command line's description.
#include <image/builder.h>
#include <image/inspect.h>

#include <cstring>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>

#include <tools/file_reason.h>

#include "commands.h"
#include "report.h"

namespace imagetool {

namespace {

bool parseVersion(const std::string& text, uint8_t* major, uint8_t* minor) {
    const auto dot = text.find('.');
    uint64_t a, b;
    if (dot == std::string::npos || !parseNumber(text.substr(0, dot), 255, &a) ||
        !parseNumber(text.substr(dot + 1), 255, &b))
        return false;
    *major = static_cast<uint8_t>(a);
    *minor = static_cast<uint8_t>(b);
    return true;
}

bool parseSerial(const std::string& text, image::ImageSpec* spec) {
    if (text == "none") {
        spec->serial = image::SerialKind::None;
        return true;
    }
    if (text.rfind("dword:", 0) == 0) {
        uint64_t v;
        if (!parseHex(text.substr(6), 0xFFFFFFFF, &v)) return false;
        spec->serial = image::SerialKind::Number;
        spec->serialNumber = static_cast<uint32_t>(v);
        return true;
    }
    if (text.rfind("string:", 0) == 0) {
        spec->serial = image::SerialKind::String;
        spec->serialText = text.substr(7);
        return true;
    }
    return false;
}

bool parseOmit(const std::string& list, image::ImageSpec* spec) {
    std::stringstream in(list);
    std::string item;
    bool any = false;
    while (std::getline(in, item, ',')) {
        if (item == "capab") {
            spec->omitCapab = true;
        } else if (item == "csed") {
            spec->omitCsed = true;
        } else if (item == "desc") {
            spec->omitDesc = true;
        } else if (item == "serial-block") {
            spec->omitSerialBlock = true;
        } else if (item == "marker") {
            spec->omitMarker = true;
        } else if (item == "trailer") {
            spec->omitTrailer = true;
        } else {
            return false;
        }
        any = true;
    }
    return any;
}

// Options that take a value; the flags are --json and --unbalanced.
const char* const kValueOptions[] = {"--family",  "--type",   "--size",         "--product-type", "--feature",
                                     "--version", "--vid",    "--pid",          "--manufacturer", "--product",
                                     "--serial",  "--integrity", "--omit",      "--crc-length"};
const char* const kTarnOnly[] = {"--vid", "--pid", "--manufacturer", "--product", "--serial"};

bool takesValue(const std::string& option) {
    for (const char* o : kValueOptions)
        if (option == o) return true;
    return false;
}

}  // namespace

int runBuild(const std::vector<std::string>& args) {
    std::string out;
    std::map<std::string, std::string> values;
    bool json = false;
    bool unbalanced = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            std::cout << kBuildUsage;
            return kOk;
        }
        if (a == "--json") {
            json = true;
        } else if (a == "--unbalanced") {
            unbalanced = true;
        } else if (takesValue(a)) {
            if (i + 1 >= args.size()) return usageError(a + " needs a value");
            if (values.count(a)) return usageError(a + " given twice");
            values[a] = args[++i];
        } else if (a.rfind("--", 0) == 0) {
            return usageError("unknown option '" + a + "' for build");
        } else if (out.empty()) {
            out = a;
        } else {
            return usageError("build takes one output file");
        }
    }
    if (out.empty()) return usageError("build needs an output file");
    if (!values.count("--family")) return usageError("build needs --family tarn|scsi");
    if (!values.count("--type")) return usageError("build needs --type");

    image::BinFamily family;
    if (!parseFamily(values["--family"], &family)) return usageError("--family takes tarn or scsi");
    uint64_t n;
    if (!parseNumber(values["--type"], 255, &n) || !image::IsKnownTypeNumber(family, static_cast<int>(n))) {
        return usageError("--type " + values["--type"] + " is no " + (family == image::BinFamily::Tarn ? "Tarn" : "SCSI") +
                          " type (Tarn: 0-5, 7-10, 11 unknown; SCSI: 0-2, 3 unknown)");
    }
    image::ImageSpec spec = image::DefaultImageSpec(family, static_cast<int>(n));
    if (family == image::BinFamily::Scsi) {
        for (const char* o : kTarnOnly)
            if (values.count(o)) return usageError(std::string(o) + " applies to the tarn family only");
    }

    for (const auto& [option, value] : values) {
        const std::string bad = "bad value '" + value + "' for " + option;
        if (option == "--size") {
            if (!parseNumber(value, UINT32_MAX, &n) || n == 0) return usageError(bad);
            spec.size = static_cast<uint32_t>(n);
        } else if (option == "--product-type" || option == "--feature") {
            if (!parseNumber(value, 255, &n)) return usageError(bad);
            (option == "--feature" ? spec.feature : spec.productType) = static_cast<uint8_t>(n);
        } else if (option == "--version") {
            if (!parseVersion(value, &spec.versionMajor, &spec.versionMinor)) return usageError(bad + " (MAJOR.MINOR)");
        } else if (option == "--vid" || option == "--pid") {
            if (!parseHex(value, 0xFFFF, &n)) return usageError(bad);
            (option == "--vid" ? spec.idVendor : spec.idProduct) = static_cast<uint16_t>(n);
        } else if (option == "--manufacturer") {
            spec.manufacturer = value;
        } else if (option == "--product") {
            spec.product = value;
        } else if (option == "--serial") {
            if (!parseSerial(value, &spec)) return usageError(bad + " (none, dword:HEX or string:TEXT)");
        } else if (option == "--integrity") {
            if (value == "crc") {
                spec.integrity = image::IntegrityKind::Crc;
            } else if (value == "chksum") {
                spec.integrity = image::IntegrityKind::Chksum;
            } else if (value == "none") {
                spec.integrity = image::IntegrityKind::None;
            } else {
                return usageError(bad + " (crc, chksum or none)");
            }
        } else if (option == "--omit") {
            if (!parseOmit(value, &spec)) return usageError(bad);
        } else if (option == "--crc-length") {
            if (!parseNumber(value, 0xFFFF, &n)) return usageError(bad);
            spec.crcLength = static_cast<uint16_t>(n);
        }
    }
    spec.unbalanced = unbalanced;

    std::vector<uint8_t> bytes;
    std::string error;
    if (!image::BuildImage(spec, &bytes, &error)) return failure("cannot build the image: " + error);

    {
        image::BinFile file(family, captureLog);
        if (!file.Create(out.c_str(), static_cast<uint32_t>(bytes.size()), true))
            return failure("cannot create " + out + ": " + tools::errorReason(GetLastError()));
        std::memcpy(file.data(), bytes.data(), bytes.size());
        if (!file.Write()) return failure("cannot write " + out + ": " + tools::errorReason(GetLastError()));
    }

    // Report the file as the family's plug-in will load it.
    image::BinFile written(family, captureLog);
    if (!written.Load(out.c_str())) return failure("cannot read back " + out + ": " + tools::errorReason(GetLastError()));
    const image::ImageFacts facts = image::InspectImage(written.data(), written.length(), family);
    if (json) {
        nlohmann::json j;
        j["file"] = out;
        j[familyName(family)] = factsToJson(facts);
        std::cout << j.dump(2) << "\n";
    } else {
        std::cout << "Wrote " << out << ": " << bytes.size() << " bytes, decided as "
                  << (family == image::BinFamily::Tarn ? "Tarn" : "SCSI") << " type " << facts.type << ", "
                  << (facts.status == KPL_OK ? "accepted" : "refused with status " + std::to_string(facts.status))
                  << "\n";
    }
    return kOk;
}

}  // namespace imagetool
