// BinFile: one firmware image held in memory, from loading (or creating) until the operation that
// needed it ends. Both plug-ins use it; they differ only in the rounding of the image length and
// in the wording of their log lines, chosen by the family given at construction.
#pragma once
#include <plugin-api/kpl.h>
#include <winsim/windows.h>

#include <cstdint>

namespace image {

enum class BinFamily { Tarn, Scsi };

// The loaded length of a file: its size rounded up to 512 bytes (Tarn) or 64 bytes (SCSI).
uint32_t RoundedImageLength(BinFamily family, uint32_t fileSize);

// Files larger than this are no firmware image; they are refused before anything is allocated.
constexpr uint32_t kMaxImageFileSize = 16u * 1024 * 1024;

class BinFile {
public:
    // logger may be null (nothing is logged).
    BinFile(BinFamily family, LoggerCallback logger);
    ~BinFile();
    BinFile(const BinFile&) = delete;
    BinFile& operator=(const BinFile&) = delete;

    // Reads the whole file; on success the file is closed and data() holds length() bytes, the
    // bytes past the end of the file being zero. On failure a still-open handle stays with the
    // object until it is destroyed.
    bool Load(const char* path);
    // Prepares an upload target: with createFile, creates (or truncates) the file for exclusive
    // writing; then allocates `size` bytes (zeroed) as the image.
    bool Create(const char* path, uint32_t size, bool createFile);
    // Writes all length() bytes to the file opened by Create.
    bool Write();
    // Keeps only the first `length` bytes (a device that gave less than was asked for); a length
    // beyond the current one changes nothing.
    void Truncate(uint32_t length) {
        if (length < length_) length_ = length;
    }

    BinFamily family() const { return family_; }
    LoggerCallback logger() const { return logger_; }
    uint8_t* data() { return data_; }
    const uint8_t* data() const { return data_; }
    uint32_t length() const { return length_; }
    const char* path() const { return path_; }
    HANDLE handle() const { return handle_; }

    // Set by the serial-number examination: the "SERCHKC" block inside data(), and the image
    // offset of the serial-number string descriptor.
    uint8_t* serialBlock() const { return serialBlock_; }
    void setSerialBlock(uint8_t* block) { serialBlock_ = block; }
    uint16_t serialStringOffset() const { return serialStringOffset_; }
    void setSerialStringOffset(uint16_t offset) { serialStringOffset_ = offset; }

private:
    bool takePath(const char* path);
    void release();

    BinFamily family_;
    LoggerCallback logger_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    uint8_t* data_ = nullptr;
    char path_[KPL_TEXT_SIZE] = {};
    uint32_t length_ = 0;
    uint8_t* serialBlock_ = nullptr;
    uint16_t serialStringOffset_ = 0;
};

}  // namespace image
