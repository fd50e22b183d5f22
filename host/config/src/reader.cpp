// The configuration reader's checksum check and record walk.
#include "config/reader.h"

#include <algorithm>

#include "file_crc.h"

namespace zelfin::config {

CrcCheck checkConfigCrc(HANDLE file) {
    CrcCheck c;
    if (!detail::fileSize(file, &c.fileSize, &c.error)) {
        c.status = CrcStatus::Unreadable;
        return c;
    }
    if (c.fileSize == 0) return c;
    if (c.fileSize < kFirstRecordOffset) {
        c.status = CrcStatus::TooShort;
        // Nothing of such a file is a record; a walk past the check meets the end at once.
        SetFilePointer(file, static_cast<LONG>(c.fileSize), nullptr, FILE_BEGIN);
        return c;
    }
    uint8_t stored[4] = {};
    DWORD got = 0;
    if (SetFilePointer(file, 0, nullptr, FILE_BEGIN) != 0 || !ReadFile(file, stored, sizeof stored, &got, nullptr) ||
        got != sizeof stored || !detail::crcFrom(file, kFirstRecordOffset, c.fileSize, &c.computed, &c.error)) {
        if (c.error == 0) c.error = GetLastError() ? GetLastError() : ERROR_HANDLE_EOF;
        c.status = CrcStatus::Unreadable;
        return c;
    }
    c.stored = stored[0] | (stored[1] << 8) | (stored[2] << 16) | (static_cast<uint32_t>(stored[3]) << 24);
    c.status = c.stored == c.computed ? CrcStatus::Match : CrcStatus::Mismatch;
    SetFilePointer(file, static_cast<LONG>(kFirstRecordOffset), nullptr, FILE_BEGIN);
    return c;
}

const CrcCheck& ConfigReader::crc() {
    if (!crcChecked_) {
        crc_ = checkConfigCrc(file_);
        crcChecked_ = true;
        offset_ = std::min(crc_.fileSize, kFirstRecordOffset);
    }
    return crc_;
}

bool ConfigReader::finish(ConfigEvent* event, ConfigEventKind kind, ConfigFailure failure) {
    event->kind = kind;
    event->failure = failure;
    done_ = true;
    return true;
}

bool ConfigReader::next(ConfigEvent* event) {
    if (done_) return false;
    *event = ConfigEvent{};
    if (!started_) {
        started_ = true;
        crc();
        if (crc_.status == CrcStatus::Unreadable) {
            event->error = crc_.error;
            return finish(event, ConfigEventKind::Failed, ConfigFailure::ReadFailed);
        }
        if (!crc_.ok() && !walkDespiteCrc_) return finish(event, ConfigEventKind::Failed, ConfigFailure::CrcMismatch);
    }

    event->offset = offset_;
    const RecordReadResult read = readRecord(file_, &event->record);
    offset_ += read.bytesRead;
    const bool complete = read.status == RecordRead::Complete;
    if (!complete) {
        event->bytesRead = read.bytesRead;
        event->error = read.error;
    }

    if (state_ != State::Header) {
        const bool options = state_ == State::InOptions;
        if (!complete)
            return finish(event, ConfigEventKind::Failed,
                          options ? ConfigFailure::MissingOption : ConfigFailure::MissingDownload);
        event->kind = options ? ConfigEventKind::Option : ConfigEventKind::Download;
        event->index = index_++;
        if (--remaining_ == 0) state_ = State::Header;
        return true;
    }

    if (read.status == RecordRead::EndOfFile) return finish(event, ConfigEventKind::End, ConfigFailure::None);
    if (!complete) return finish(event, ConfigEventKind::Failed, ConfigFailure::ReadFailed);

    const std::string_view name = event->name();
    const bool options = name == kOptionsHeader;
    if (options || name == kDownloadHeader) {
        event->kind = options ? ConfigEventKind::OptionsHeader : ConfigEventKind::DownloadHeader;
        event->count = headerCount(event->value());
        event->toRead = std::max(event->count, 0);
        if (!options) event->toRead = std::min(event->toRead, kMaxDownloads);
        if (event->toRead > 0) {
            state_ = options ? State::InOptions : State::InDownload;
            remaining_ = event->toRead;
            index_ = 0;
        }
        return true;
    }
    if (name == kSymLinkHeader) {
        event->kind = ConfigEventKind::SymLink;
        return true;
    }
    return finish(event, ConfigEventKind::Failed, ConfigFailure::UnknownHeader);
}

}  // namespace zelfin::config
