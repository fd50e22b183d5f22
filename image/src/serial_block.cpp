// Locating and reading the serial-number block.
#include <image/bytes.h>
#include <image/serial_block.h>
#include <image/signatures.h>

namespace image {

std::optional<SerialBlock> ReadSerialBlock(const uint8_t* data, uint32_t length) {
    const auto p = FindSignature(data, length, "SERCHKC");
    if (!p || !fits(length, *p, kSerialBlockLength)) return std::nullopt;
    const uint8_t* b = data + *p;
    SerialBlock s;
    s.offset = *p;
    s.type = b[kSerialTypeField];
    s.number = readBE32(b + kSerialNumberField);
    s.check = readBE32(b + kSerialCheckField);
    return s;
}

bool SerialSupported(const uint8_t* data, uint32_t length) {
    const auto csed = ReadCsed(data, length);
    return csed && csed->iSerialNumber == kSerialStringIndex;
}

int32_t LocateSerialString(const uint8_t* data, uint32_t length, StringDescriptor* out) {
    return LocateStringDescriptor(data, length, kStringSerial, out);
}

bool IsBlankSerialString(const uint8_t* descriptor, uint8_t bLength) {
    for (uint32_t i = 2; i < bLength; i += 2) {
        if (descriptor[i] != '0') return false;
    }
    return true;
}

}  // namespace image
