// Bounded access to 520-byte configuration records over file handles.
#include "config/record.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

namespace zelfin::config {

std::string_view fieldText(const char (&field)[kFieldSize]) {
    return std::string_view(field, ::strnlen(field, kFieldSize - 1));
}

void copyField(char (&out)[kFieldSize], const char (&field)[kFieldSize]) {
    const std::string_view text = fieldText(field);
    std::memcpy(out, text.data(), text.size());
    out[text.size()] = '\0';
}

int32_t headerCount(std::string_view value) {
    const std::string text(value.substr(0, kFieldSize - 1));
    const long long n = std::strtoll(text.c_str(), nullptr, 10);
    if (n > INT32_MAX) return INT32_MAX;
    if (n < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(n);
}

RecordReadResult readRecord(HANDLE file, ConfigRecord* out) {
    RecordReadResult r;
    std::memset(out, 0, sizeof *out);
    if (!ReadFile(file, out, kRecordSize, &r.bytesRead, nullptr)) {
        r.error = GetLastError();
        r.status = RecordRead::Failed;
        return r;
    }
    r.status = r.bytesRead == kRecordSize ? RecordRead::Complete
               : r.bytesRead == 0         ? RecordRead::EndOfFile
                                          : RecordRead::Partial;
    return r;
}

bool makeRecord(std::string_view name, std::string_view value, ConfigRecord* out) {
    if (name.size() >= kFieldSize || value.size() >= kFieldSize) return false;
    std::memset(out, 0, sizeof *out);
    std::memcpy(out->name, name.data(), name.size());
    std::memcpy(out->value, value.data(), value.size());
    return true;
}

bool writeRecord(HANDLE file, const ConfigRecord& record) {
    DWORD written = 0;
    return WriteFile(file, &record, kRecordSize, &written, nullptr) && written == kRecordSize;
}

}  // namespace zelfin::config
