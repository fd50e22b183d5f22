// Text and JSON views of ImageFacts.
#include "report.h"

#include <image/signatures.h>

#include <cstdio>
#include <string>

namespace imagetool {

namespace {

using nlohmann::json;

std::string hex(uint32_t value, int digits) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%0*X", digits, value);
    return buf;
}

std::string version(uint8_t major, uint8_t minor) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d.%02d", major, minor);
    return buf;
}

const char* integrityName(image::IntegrityKind kind) {
    switch (kind) {
    case image::IntegrityKind::Crc: return "crc";
    case image::IntegrityKind::Chksum: return "chksum";
    default: return "none";
    }
}

const char* statusMeaning(int32_t status) {
    switch (status) {
    case KPL_OK: return "accepted";
    case KPL_E_IMAGE_TYPE: return "refused: type not recognised";
    default: return "refused: integrity check failed or a required block is missing";
    }
}

const char* serialTypeName(uint8_t type) {
    return type == image::kSerialTypeNumber ? "number" : type == image::kSerialTypeString ? "string" : "unknown";
}

bool typeKnown(const image::ImageFacts& f) {
    return f.type != (f.family == image::BinFamily::Tarn ? image::kTarnTypeUnknown : image::kScsiTypeUnknown);
}

json textJson(const image::ImageFacts::Text& t) {
    if (t.status == KPL_OK) return t.text;
    return json{{"error", t.status}};
}

std::string textView(const image::ImageFacts::Text& t) {
    if (t.status == KPL_OK) return "\"" + t.text + "\"";
    return t.status == KPL_E_SERIAL_MISSING ? "(no table entry)" : "(outside the image)";
}

}  // namespace

const char kInfoTerms[] =
    "Terms:\n"
    "  length        what the plug-in works on: the file's length rounded up (512 bytes Tarn, 64 SCSI)\n"
    "  type          the reader model the image is for, from its type marker and trailer\n"
    "  product type  the CAPAB block's number of the reader product; matching compares it\n"
    "  feature       the CAPAB block's firmware feature (MATCHFEATURE compares it)\n"
    "  integrity     the checked range (CRCCODEBEGIN or CHKSUMSIG) must sum to zero\n"
    "  judgement     the plug-in's answer: 0 accepted, 207 not its type, 208 damaged or incomplete\n";

bool recognises(const image::ImageFacts& f) { return typeKnown(f); }

void printRefusal(std::ostream& out, const image::ImageFacts& f) {
    out << (f.family == image::BinFamily::Tarn ? "Tarn family" : "SCSI family") << ": not an image of this family ("
        << f.status << ", " << statusMeaning(f.status) << ")\n";
}

const char* familyName(image::BinFamily family) { return family == image::BinFamily::Tarn ? "tarn" : "scsi"; }

json factsToJson(const image::ImageFacts& f) {
    json j;
    j["length"] = f.length;
    j["type"] = f.type;
    j["typeKnown"] = typeKnown(f);
    j["trailer"] = f.trailer.empty() ? json(nullptr) : json(f.trailer);
    j["markers"] = json::array();
    for (const auto& m : f.markers) j["markers"].push_back({{"offset", m.offset}, {"text", m.text}});
    if (f.capab) {
        j["capab"] = {{"offset", f.capab->offset},           {"productType", f.capab->productType},
                      {"feature", f.capab->feature},         {"versionMajor", f.capab->versionMajor},
                      {"versionMinor", f.capab->versionMinor}, {"version", version(f.capab->versionMajor, f.capab->versionMinor)}};
    } else {
        j["capab"] = nullptr;
    }
    if (f.family == image::BinFamily::Tarn) {
        if (f.csed) {
            j["csed"] = {{"offset", f.csed->offset},
                         {"idVendor", f.csed->idVendor},
                         {"idProduct", f.csed->idProduct},
                         {"iSerialNumber", f.csed->iSerialNumber}};
        } else {
            j["csed"] = nullptr;
        }
        j["desc"] = {{"present", f.descPresent},
                     {"addressShift", f.addressShift ? json(f.addressShift) : json(nullptr)},
                     {"manufacturer", textJson(f.manufacturer)},
                     {"product", textJson(f.product)},
                     {"serial", textJson(f.serialString)}};
        if (f.serial) {
            json s = {{"offset", f.serial->offset}, {"type", serialTypeName(f.serial->type)}, {"typeByte", f.serial->type}};
            if (f.serial->type == image::kSerialTypeNumber) {
                s["number"] = f.serial->number;
                s["check"] = f.serial->check;
                s["checkValid"] = f.serial->checkMatches();
            } else if (f.serial->type == image::kSerialTypeString) {
                s["text"] = textJson(f.serialString);
            }
            j["serial"] = s;
        } else {
            j["serial"] = nullptr;
        }
        if (f.externalVersion) {
            j["externalVersion"] = {{"value", *f.externalVersion},
                                    {"text", version(*f.externalVersion >> 8, *f.externalVersion & 0xFF)}};
        }
    }
    json integrity = {{"kind", integrityName(f.integrity.kind)}, {"valid", f.integrityValid}};
    if (f.integrity.kind != image::IntegrityKind::None) {
        integrity["signatureOffset"] = f.integrity.signatureOffset;
        integrity["begin"] = f.integrity.begin;
        integrity["count"] = f.integrity.count;
        integrity["inImage"] = f.integrity.inImage;
        if (f.integrity.inImage) integrity["sum"] = f.integritySum;
    }
    j["integrity"] = integrity;
    j["status"] = f.status;
    j["accepted"] = f.status == KPL_OK;
    return j;
}

void printFacts(std::ostream& out, const image::ImageFacts& f) {
    const bool tarn = f.family == image::BinFamily::Tarn;
    out << (tarn ? "Tarn family" : "SCSI family") << ":\n";
    out << "  length      " << f.length << " (0x" << hex(f.length, 1) << ", rounded up from the file)\n";
    out << "  type        " << f.type << (typeKnown(f) ? "" : " (unknown)") << "\n";
    out << "  trailer     " << (f.trailer.empty() ? "(none)" : f.trailer) << "\n";
    out << "  markers     ";
    if (f.markers.empty()) out << "(none)";
    for (size_t i = 0; i < f.markers.size(); ++i)
        out << (i ? ", " : "") << f.markers[i].text << " at " << f.markers[i].offset;
    out << "\n";
    if (f.capab) {
        out << "  CAPAB       at 0x" << hex(f.capab->offset, 4) << ": product type " << int(f.capab->productType)
            << ", feature 0x" << hex(f.capab->feature, 2) << ", version "
            << version(f.capab->versionMajor, f.capab->versionMinor) << "\n";
    } else {
        out << "  CAPAB       (missing)\n";
    }
    if (tarn) {
        if (f.csed) {
            out << "  CSED        at 0x" << hex(f.csed->offset, 4) << ": VID " << hex(f.csed->idVendor, 4) << ", PID "
                << hex(f.csed->idProduct, 4) << ", iSerialNumber " << int(f.csed->iSerialNumber)
                << (f.csed->iSerialNumber == image::kSerialStringIndex ? " (serial numbers on)" : " (serial numbers off)")
                << "\n";
        } else {
            out << "  CSED        (missing)\n";
        }
        if (f.descPresent) {
            out << "  DESC        manufacturer " << textView(f.manufacturer) << ", product " << textView(f.product)
                << ", serial " << textView(f.serialString);
            if (f.addressShift) out << " (addresses from 0x8000, " << f.addressShift << ")";
            out << "\n";
        } else {
            out << "  DESC        (missing)\n";
        }
        if (f.serial) {
            out << "  serial      at 0x" << hex(f.serial->offset, 4) << ": " << serialTypeName(f.serial->type);
            if (f.serial->type == image::kSerialTypeNumber) {
                out << " 0x" << hex(f.serial->number, 8) << ", check 0x" << hex(f.serial->check, 8)
                    << (f.serial->checkMatches() ? " (matches)" : " (does not match)");
            } else if (f.serial->type == image::kSerialTypeString) {
                out << " " << textView(f.serialString);
            } else {
                out << " (type byte 0x" << hex(f.serial->type, 2) << ")";
            }
            out << "\n";
        } else {
            out << "  serial      (no SERCHKC block)\n";
        }
        if (f.externalVersion)
            out << "  ext version " << version(*f.externalVersion >> 8, *f.externalVersion & 0xFF) << "\n";
    }
    out << "  integrity   ";
    if (f.integrity.kind == image::IntegrityKind::None) {
        out << "no CRCCODEBEGIN or CHKSUMSIG";
    } else {
        out << (f.integrity.kind == image::IntegrityKind::Crc ? "CRCCODEBEGIN" : "CHKSUMSIG") << " at 0x"
            << hex(f.integrity.signatureOffset, 4) << ", range 0x" << hex(f.integrity.begin, 4) << " + "
            << f.integrity.count << " bytes";
        if (f.integrity.inImage) {
            out << ", sum 0x" << hex(f.integritySum, 2);
        } else {
            out << " (empty or past the end)";
        }
    }
    out << ": " << (f.integrityValid ? "valid" : "not valid") << "\n";
    out << "  judgement   " << f.status << " (" << statusMeaning(f.status) << ")\n";
}

}  // namespace imagetool
