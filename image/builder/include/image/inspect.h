// Everything the system reads from an image, gathered in one place: what zelfin-image reports
// and what tests compare with what they built.
#pragma once
#include <image/binfile.h>
#include <image/blocks.h>
#include <image/integrity.h>
#include <image/serial_block.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace image {

struct MarkerSeen {
    uint32_t offset;
    std::string text;
};

struct ImageFacts {
    BinFamily family = BinFamily::Tarn;
    uint32_t length = 0;
    int type = 0;
    std::string trailer;               // the last eight bytes, when they are printable
    std::vector<MarkerSeen> markers;   // type markers found at their fixed positions
    std::optional<CapabBlock> capab;
    std::optional<CsedBlock> csed;
    const char* addressShift = nullptr;  // "DFU_02"/"DFU_07"/"DFU_08" or null
    bool descPresent = false;
    struct Text {
        int32_t status = 0;  // as ReadStringDescriptor
        std::string text;
    };
    Text manufacturer, product, serialString;
    std::optional<SerialBlock> serial;
    std::optional<uint16_t> externalVersion;  // Tarn type 2 only
    IntegrityRange integrity;
    bool integrityValid = false;
    uint8_t integritySum = 0;  // meaningful when the range lies in the image
    int32_t status = 0;        // what the family's image judgement answers: 0, 207 or 208
};

// Inspects a loaded image as the family's plug-in would see it. Nothing is logged.
ImageFacts InspectImage(const uint8_t* data, uint32_t length, BinFamily family);

// The status the family's plug-in gives an image it is asked to judge (without "/IV"): 207 for an
// unknown type; 208 for a failed integrity check or, in the SCSI family, a missing "CAPAB".
int32_t JudgeImage(const uint8_t* data, uint32_t length, BinFamily family);

}  // namespace image
