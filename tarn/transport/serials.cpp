#include "serials.h"

#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>

#include <image/blocks.h>
#include <image/bytes.h>
#include <image/serial_block.h>

#include "tarn_log.h"

namespace tarn {

namespace {

constexpr const char* kExamineUnit = "Bin";
constexpr const char* kUnit = "tarnutils";

constexpr uint8_t kStringDescriptorType = 3;
constexpr uint32_t kRandomPrefixDigits = 4;  // the "0000" before the value's hex digits

struct NumberSerial {
    uint32_t number = 0;
    uint32_t check = 0;
};

// A serial string descriptor, whole: bLength (at most 255) bytes from bytes[0].
struct SerialString {
    uint8_t bytes[256] = {};
    uint8_t length() const { return bytes[0]; }
    bool blank() const { return image::IsBlankSerialString(bytes, length()); }
};

// What is kept for one place: the first number and the first string carried from its reader.
struct KeptSerial {
    std::optional<NumberSerial> number;
    std::optional<SerialString> string;
};

std::mutex memoryLock;
std::map<std::string, KeptSerial> memory;  // guarded by memoryLock

std::string keyOf(const char* place) { return place ? place : ""; }

// The reader's serial as carried: the one kept for its place, or else its own, which is kept from
// now on. A retry after a failed download then carries the serial of the first attempt, not what
// the half-written reader reports.
NumberSerial recallNumber(const char* place, const NumberSerial& reader) {
    std::lock_guard<std::mutex> lock(memoryLock);
    auto& kept = memory[keyOf(place)].number;
    if (!kept) kept = reader;
    return *kept;
}

SerialString recallString(const char* place, const SerialString& reader) {
    std::lock_guard<std::mutex> lock(memoryLock);
    auto& kept = memory[keyOf(place)].string;
    if (!kept) {
        // Kept as its length and characters; the type byte is always that of a string.
        kept.emplace();
        std::memcpy(kept->bytes, reader.bytes, reader.length());
        if (reader.length() > 1) kept->bytes[1] = kStringDescriptorType;
    }
    return *kept;
}

template <typename T>
std::optional<T> kept(const char* place, std::optional<T> KeptSerial::*which) {
    std::lock_guard<std::mutex> lock(memoryLock);
    const auto found = memory.find(keyOf(place));
    return found == memory.end() ? std::nullopt : found->second.*which;
}

// 1 to 32767. The generator is seeded once per process: seeding it per draw from the clock gives
// every reader updated within the same second the same serial. 0 would be a blank serial.
uint32_t drawRandomSerial() {
    static std::mutex lock;
    static std::mt19937 generator{std::random_device{}()};
    std::uniform_int_distribution<uint32_t> range(0, 32767);
    std::lock_guard<std::mutex> guard(lock);
    uint32_t value;
    do {
        value = range(generator);
    } while (value == 0);
    return value;
}

// The accessors below work on a file that ExamineSerial accepted: its serial block holds all its
// fields. The string offset is checked again, as a descriptor written there may be longer than
// the one ExamineSerial saw.
uint8_t& serialType(image::BinFile& file) { return file.serialBlock()[image::kSerialTypeField]; }

NumberSerial readNumber(const image::BinFile& file) {
    const uint8_t* block = file.serialBlock();
    return {image::readBE32(block + image::kSerialNumberField), image::readBE32(block + image::kSerialCheckField)};
}

void writeNumber(image::BinFile& file, const NumberSerial& serial) {
    uint8_t* block = file.serialBlock();
    image::writeBE32(block + image::kSerialNumberField, serial.number);
    image::writeBE32(block + image::kSerialCheckField, serial.check);
}

bool readString(const image::BinFile& file, SerialString* out) {
    const uint32_t offset = file.serialStringOffset();
    if (!image::fits(file.length(), offset, 1)) return false;
    const uint8_t length = file.data()[offset];
    if (!image::fits(file.length(), offset, length)) return false;
    std::memcpy(out->bytes, file.data() + offset, length);
    return true;
}

// The image's serial string slot is as long as the descriptor it holds: a longer serial would
// overwrite what follows it in the image, so it does not fit.
bool writeString(image::BinFile& file, const SerialString& serial) {
    const uint32_t offset = file.serialStringOffset();
    if (!image::fits(file.length(), offset, serial.length())) return false;
    if (serial.length() > file.data()[offset]) return false;
    std::memcpy(file.data() + offset, serial.bytes, serial.length());
    return true;
}

// A status of NewSerial as CarrySerial answers it: every serial status is a failed carry.
int32_t asCarried(int32_t status) {
    return status == KPL_OK || status == KPL_E_NO_MEMORY ? status : KPL_E_SERIAL_CARRY;
}

// After a change of the image's serial type the change itself is what counts; only a lack of
// memory is passed on.
int32_t afterTypeChange(int32_t status) { return status == KPL_E_NO_MEMORY ? status : KPL_OK; }

}  // namespace

int32_t ExamineSerial(image::BinFile& file) {
    file.setSerialBlock(nullptr);
    file.setSerialStringOffset(0);
    uint8_t* data = file.data();
    const uint32_t length = file.length();

    if (const char* marker = image::FindAddressShiftMarker(data, length))
        TARN_LOG_AT(kExamineUnit, "%s(%i) :%s signature found", marker);

    const auto csed = image::ReadCsed(data, length);
    if (!csed) {
        TARN_LOG_AT(kExamineUnit, "%s(%i) :CSED not found");
        return KPL_E_SERIAL_MISSING;
    }
    if (csed->iSerialNumber != image::kSerialStringIndex) {
        TARN_LOG_AT(kExamineUnit, "%s(%i) :Firmware Serial no disabled");
        return KPL_E_SERIAL_DISABLED;
    }
    const auto block = image::ReadSerialBlock(data, length);
    if (!block) {
        TARN_LOG_AT(kExamineUnit, "%s(%i) :SERCHKC not present.");
        return KPL_E_SERIAL_MISSING;
    }

    if (block->type == image::kSerialTypeNumber) {
        TARN_LOG_AT(kExamineUnit, "%s(%i) :DWORD type serial no");
        // The stored bytes read least significant first: the form readers of this log know.
        TARN_PLAIN("Serial number:0x%x\r\n",
                   static_cast<unsigned>(image::readLE32(data + block->offset + image::kSerialNumberField)));
        file.setSerialBlock(data + block->offset);
        return KPL_OK;
    }
    if (block->type != image::kSerialTypeString) {
        TARN_LOG_AT(kExamineUnit, "%s(%i) :Not a Unicode type serial no");
        return KPL_E_SERIAL_TYPE;
    }

    TARN_LOG_AT(kExamineUnit, "%s(%i) :String type serial no");
    image::StringDescriptor serial;
    const int32_t status = image::LocateSerialString(data, length, &serial);
    if (status == KPL_E_SERIAL_MISSING) {
        TARN_LOG_AT(kExamineUnit, "%s(%i) :DESC not found");
        return KPL_E_SERIAL_MISSING;
    }
    // A string address that leads outside the image names no serial string.
    if (status != KPL_OK) return KPL_E_SERIAL_MISSING;

    char text[512];  // 127 UTF-16 units, at most three UTF-8 bytes each
    image::Utf16leToText(serial.chars, serial.charCount, text, sizeof text);
    TARN_PLAIN("Serial string is: %s\r\n", text);
    file.setSerialBlock(data + block->offset);
    file.setSerialStringOffset(static_cast<uint16_t>(serial.offset));  // from a 16-bit address
    return KPL_OK;
}

int32_t CarrySerial(image::BinFile& deviceCopy, image::BinFile& image, const char* place) {
    TARN_PLAIN("Upload Bin Details:");
    const int32_t reader = ExamineSerial(deviceCopy);
    if (reader != KPL_OK && reader != KPL_E_SERIAL_DISABLED) {
        TARN_LOG_AT(kUnit, "%s(%i) :nKPLStatus = %d", static_cast<int>(reader));
        return KPL_E_SERIAL_CARRY;
    }
    TARN_PLAIN("Download Bin Details:");
    const int32_t own = ExamineSerial(image);
    if (own != KPL_OK) {
        if (reader == KPL_E_SERIAL_DISABLED && own == KPL_E_SERIAL_DISABLED) {
            TARN_LOG_AT(kUnit, "%s(%i) :Firmware SNo disabled in both device and download binary");
            return KPL_OK;
        }
        return KPL_E_SERIAL_CARRY;
    }
    if (reader == KPL_E_SERIAL_DISABLED) return asCarried(NewSerial(image, place));

    const bool imageHasNumber = serialType(image) == image::kSerialTypeNumber;
    if (serialType(deviceCopy) == image::kSerialTypeNumber) {
        const NumberSerial serial = recallNumber(place, readNumber(deviceCopy));
        if (!imageHasNumber) {
            TARN_LOG_AT(kUnit, "%s(%i) :Changing serial number type of Download Bin to DWORD");
            serialType(image) = image::kSerialTypeNumber;
            if (serial.number == 0) return afterTypeChange(NewSerial(image, place));
            writeNumber(image, serial);
            return KPL_OK;
        }
        TARN_LOG_AT(kUnit, "%s(%i) :Updating actual serial no and shadow");
        if (serial.number == 0) return asCarried(NewSerial(image, place));
        writeNumber(image, serial);
        return KPL_OK;
    }

    SerialString readerString;
    if (!readString(deviceCopy, &readerString)) return KPL_E_SERIAL_CARRY;
    const SerialString serial = recallString(place, readerString);
    if (imageHasNumber) {
        TARN_LOG_AT(kUnit, "%s(%i) :Changing serial number type of Download Bin to string");
        serialType(image) = image::kSerialTypeString;
        if (ExamineSerial(image) != KPL_OK) return KPL_E_SERIAL_CARRY;
        if (serial.blank()) return afterTypeChange(NewSerial(image, place));
        return writeString(image, serial) ? KPL_OK : KPL_E_SERIAL_CARRY;
    }
    TARN_LOG_AT(kUnit, "%s(%i) :Patching serial string of download from upload binary");
    if (serial.blank()) return asCarried(NewSerial(image, place));
    TARN_LOG_AT(kUnit, "%s(%i) :Preserving existing serial no in upload binary");
    return writeString(image, serial) ? KPL_OK : KPL_E_SERIAL_CARRY;
}

int32_t NewSerial(image::BinFile& image, const char* place) {
    const int32_t status = ExamineSerial(image);
    if (status == KPL_E_SERIAL_DISABLED) {
        TARN_LOG_AT(kUnit, "%s(%i) :Serial number support is disabled in download binary");
        return KPL_OK;
    }
    if (status != KPL_OK) return status;

    if (serialType(image) == image::kSerialTypeNumber) {
        // A kept blank number is no serial to preserve.
        if (const auto serial = kept(place, &KeptSerial::number); serial && serial->number != 0) {
            TARN_LOG_AT(kUnit, "%s(%i) :Preserving Serial Number during retry = %x", static_cast<unsigned>(serial->number));
            writeNumber(image, *serial);
        }
        if (readNumber(image).number != 0) return KPL_OK;
        const uint32_t value = drawRandomSerial();
        TARN_LOG_AT(kUnit, "%s(%i) :Random Serial Number = %x", static_cast<unsigned>(value));
        writeNumber(image, {value, 0u - value});
        return KPL_OK;
    }

    if (const auto serial = kept(place, &KeptSerial::string)) {
        if (!writeString(image, *serial)) return KPL_E_SERIAL_CARRY;
    }
    SerialString current;
    if (!readString(image, &current)) return KPL_E_SERIAL_CARRY;
    if (!current.blank()) {
        TARN_LOG_AT(kUnit, "%s(%i) :Preserving existing serial no in download binary");
        return KPL_OK;
    }
    const uint32_t value = drawRandomSerial();
    TARN_LOG_AT(kUnit, "%s(%i) :Random Serial Number = %x", static_cast<unsigned>(value));
    SerialString random;
    RandomSerialString(value, random.bytes);
    return writeString(image, random) ? KPL_OK : KPL_E_SERIAL_CARRY;
}

int32_t RandomSerialString(uint32_t value, uint8_t* descriptor) {
    if (!descriptor) return KPL_E_SERIAL_CARRY;
    static const char kHex[] = "0123456789ABCDEF";
    descriptor[0] = kRandomSerialLength;
    descriptor[1] = kStringDescriptorType;
    uint8_t* chars = descriptor + 2;
    for (uint32_t i = 0; i < kRandomPrefixDigits; ++i) image::writeLE16(chars + 2 * i, '0');
    for (uint32_t i = 0; i < 4; ++i) {
        const uint8_t byte = static_cast<uint8_t>(value >> (8 * i));
        uint8_t* digits = chars + 2 * (kRandomPrefixDigits + 2 * i);
        image::writeLE16(digits, static_cast<uint16_t>(kHex[byte >> 4]));
        image::writeLE16(digits + 2, static_cast<uint16_t>(kHex[byte & 0x0F]));
    }
    return KPL_OK;
}

void ForgetKeptSerial(const char* place) {
    std::lock_guard<std::mutex> lock(memoryLock);
    memory.erase(keyOf(place));
}

bool HasKeptSerial(const char* place) {
    std::lock_guard<std::mutex> lock(memoryLock);
    const auto found = memory.find(keyOf(place));
    return found != memory.end() && (found->second.number || found->second.string);
}

}  // namespace tarn
