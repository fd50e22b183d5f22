// Builds firmware images in memory: valid ones of every type the two families know, and, on
// request, the faulty ones tests need. Used by the zelfin-image tool and by tests in-process.
#pragma once
#include <image/binfile.h>
#include <image/integrity.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace image {

enum class SerialKind { None, Number, String };

struct ImageSpec {
    BinFamily family = BinFamily::Tarn;
    int type = 0;           // Tarn 0-5, 7-10, 11 (unknown); SCSI 0-2, 3 (unknown)
    uint32_t size = 0;      // file size; 0 = the length the type asks for
    uint8_t productType = 1;
    uint8_t feature = 0;
    uint8_t versionMajor = 1;
    uint8_t versionMinor = 0;
    // Tarn only: device descriptor, strings and serial number.
    uint16_t idVendor = 0x04CC;
    uint16_t idProduct = 0x2000;
    std::string manufacturer = "Quorvex";  // UTF-8, at most 126 UTF-16 units
    std::string product = "Card Reader";
    SerialKind serial = SerialKind::Number;
    uint32_t serialNumber = 0;  // the placeholder new images carry
    std::string serialText;
    IntegrityKind integrity = IntegrityKind::Crc;

    // Faults on request.
    bool omitCapab = false;
    bool omitCsed = false;
    bool omitDesc = false;
    bool omitSerialBlock = false;  // keeps serial support switched on in the descriptor
    bool omitMarker = false;
    bool omitTrailer = false;
    bool unbalanced = false;             // the checked range sums to 1 instead of 0
    std::optional<uint16_t> crcLength;   // replaces the length stored after "CRCCODEBEGIN"
};

// The defaults for a family and type: its natural length, the SCSI family without serial number
// and checked by "CHKSUMSIG", external firmware (Tarn type 2) for product type 16.
ImageSpec DefaultImageSpec(BinFamily family, int type);

// The image length a type asks for (its first length in the type table), 0 for no such type.
uint32_t NaturalImageSize(BinFamily family, int type);
bool IsKnownTypeNumber(BinFamily family, int type);  // includes the "unknown" numbers 11 and 3

// Lays the image out: type markers and trailer at their fixed places, the version of an external
// image at offset 16, the blocks from 0x1100 (or from 64 in small images), and the checked range
// balanced last, so that it sums to 0. On failure returns false with an English reason.
bool BuildImage(const ImageSpec& spec, std::vector<uint8_t>* out, std::string* error);

// Where the blocks go: after the type markers of the first two pages, or right after the first
// page's marker when the image is too small for that.
constexpr uint32_t kBlockAreaBegin = 0x1100;
constexpr uint32_t kSmallBlockAreaBegin = 64;

}  // namespace image
