// Loading, creating and writing image files. The Tarn and SCSI plug-ins word their log lines
// differently; each family's texts are kept together below.
#include <image/binfile.h>

#include <cstring>
#include <new>

#include "log.h"

namespace image {

namespace {

constexpr const char* kUnit = "Bin";

struct Texts {
    const char* openFailed;
    const char* sizeFailed;
    const char* nullFile;
    const char* allocFailed;
    const char* readFailed;
    const char* readShort;
    const char* createFailed;
    const char* createZero;
    const char* createAllocFailed;
    const char* writeFailed;
};

const Texts kTarnTexts = {
    "%s(%i) :Error in opening file %s. Error: %xh",
    "%s(%i) :Error retriving file size for %s. Error: %xh",
    "%s(%i) :File %s is a NULL file. Error: %xh",
    "%s(%i) :Error in allocating space for buffer. Error: %xh",
    "%s(%i) :Error in reading from %s. Error: %xh",
    "%s(%i) :Unable to read entire file %s",
    "%s(%i) :Error opening file %s. Error: %xh",
    "%s(%i) :File size is zero for %s.",
    "%s(%i) :Error in allocating buffer. Error: %xh.",
    "%s(%i) :Error in writing to file. Error: %xh",
};

const Texts kScsiTexts = {
    "%s(%i) :Error in opening file %s. Error = %xh",
    "%s(%i) :Error retriving file size for %s. Error = %xh",
    "%s(%i) :File %s is a NULL file.",
    "%s(%i) :Memory allocation failure. Error = %xh.",
    "%s(%i) :Error in reading from %s. Error = %xh.",
    "%s(%i) :Unable to read entire file %s.",
    "%s(%i) :Error in opening file %s. Error = %xh",
    "%s(%i) :File size is zero for %s",
    "%s(%i) :Memory allocation failed. Error = %xh.",
    "%s(%i) :Error in writing to file. Error = %xh.",
};

const Texts& textsOf(BinFamily family) { return family == BinFamily::Tarn ? kTarnTexts : kScsiTexts; }

}  // namespace

uint32_t RoundedImageLength(BinFamily family, uint32_t fileSize) {
    const uint32_t unit = family == BinFamily::Tarn ? 512 : 64;
    const uint64_t rounded = (static_cast<uint64_t>(fileSize) + unit - 1) / unit * unit;
    return rounded > UINT32_MAX ? UINT32_MAX / unit * unit : static_cast<uint32_t>(rounded);
}

BinFile::BinFile(BinFamily family, LoggerCallback logger) : family_(family), logger_(logger) {}

BinFile::~BinFile() { release(); }

void BinFile::release() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    delete[] data_;
    data_ = nullptr;
    length_ = 0;
    serialBlock_ = nullptr;
    serialStringOffset_ = 0;
}

// A path that does not fit the 260-byte field is refused rather than cut: a shortened path
// could name another file.
bool BinFile::takePath(const char* path) {
    const size_t n = path ? std::strlen(path) : 0;
    if (!path || n >= sizeof path_) {
        path_[0] = '\0';
        return false;
    }
    std::memcpy(path_, path, n + 1);
    return true;
}

bool BinFile::Load(const char* path) {
    const Texts& t = textsOf(family_);
    release();
    if (!takePath(path)) {
        SetLastError(path ? ERROR_FILENAME_EXCED_RANGE : ERROR_INVALID_PARAMETER);
        IMAGE_LOG(logger_, kUnit, t.openFailed, path ? path : "", GetLastError());
        return false;
    }
    handle_ = CreateFileA(path_, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                          FILE_FLAG_NO_BUFFERING, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) {
        IMAGE_LOG(logger_, kUnit, t.openFailed, path_, GetLastError());
        return false;
    }
    DWORD high = 0;
    SetLastError(NO_ERROR);  // a size of 0xFFFFFFFF is told from a failure by the last error
    const DWORD size = GetFileSize(handle_, &high);
    if (size == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) {
        IMAGE_LOG(logger_, kUnit, t.sizeFailed, path_, GetLastError());
        return false;
    }
    if (size == 0 && high == 0) {
        if (family_ == BinFamily::Tarn)
            IMAGE_LOG(logger_, kUnit, t.nullFile, path_, GetLastError());
        else
            IMAGE_LOG(logger_, kUnit, t.nullFile, path_);
        return false;
    }
    if (high != 0 || size > kMaxImageFileSize) {
        IMAGE_LOG(logger_, kUnit, "%s(%i) :File %s is too large for a firmware image.", path_);
        return false;
    }

    const uint32_t length = RoundedImageLength(family_, size);
    data_ = new (std::nothrow) uint8_t[length]();  // the rounding tail stays zero
    if (!data_) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        IMAGE_LOG(logger_, kUnit, t.allocFailed, GetLastError());
        return false;
    }
    length_ = length;
    DWORD read = 0;
    if (!ReadFile(handle_, data_, length_, &read, nullptr)) {
        IMAGE_LOG(logger_, kUnit, t.readFailed, path_, GetLastError());
        return false;
    }
    if (static_cast<uint64_t>(read) + (length_ - size) != length_) {
        IMAGE_LOG(logger_, kUnit, t.readShort, path_);
        return false;
    }
    CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    return true;
}

bool BinFile::Create(const char* path, uint32_t size, bool createFile) {
    const Texts& t = textsOf(family_);
    release();
    if (!takePath(path)) {
        SetLastError(path ? ERROR_FILENAME_EXCED_RANGE : ERROR_INVALID_PARAMETER);
        IMAGE_LOG(logger_, kUnit, t.createFailed, path ? path : "", GetLastError());
        return false;
    }
    if (createFile) {
        handle_ = CreateFileA(path_, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle_ == INVALID_HANDLE_VALUE) {
            IMAGE_LOG(logger_, kUnit, t.createFailed, path_, GetLastError());
            return false;
        }
    }
    if (size == 0) {
        IMAGE_LOG(logger_, kUnit, t.createZero, path_);
        return false;
    }
    if (size > kMaxImageFileSize) {
        IMAGE_LOG(logger_, kUnit, "%s(%i) :File %s is too large for a firmware image.", path_);
        return false;
    }
    data_ = new (std::nothrow) uint8_t[size]();
    if (!data_) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        IMAGE_LOG(logger_, kUnit, t.createAllocFailed, GetLastError());
        return false;
    }
    length_ = size;
    return true;
}

bool BinFile::Write() {
    const Texts& t = textsOf(family_);
    if (handle_ == INVALID_HANDLE_VALUE || !data_) {
        SetLastError(ERROR_INVALID_HANDLE);
        IMAGE_LOG(logger_, kUnit, t.writeFailed, GetLastError());
        return false;
    }
    DWORD written = 0;
    const BOOL ok = WriteFile(handle_, data_, length_, &written, nullptr);
    if (!ok || written != length_) {
        if (ok) SetLastError(ERROR_WRITE_FAULT);  // a short write leaves no error of its own
        IMAGE_LOG(logger_, kUnit, t.writeFailed, GetLastError());
        return false;
    }
    return true;
}

}  // namespace image
