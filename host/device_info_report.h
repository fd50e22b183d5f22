// The device information report (DevInfo.txt): a dated heading and one "label = value" line per
// row, appended to what the file already holds.
#pragma once
#include <string>
#include <utility>
#include <vector>

namespace zelfin {

using ReportRows = std::vector<std::pair<std::string, std::string>>;

// Appends the report to `path`, creating the file when it is missing. False (with the system's
// last error) when the file cannot be opened; a failed write of a row is logged and ends the
// report there.
bool appendDeviceInfoReport(const char* path, const ReportRows& rows);

}  // namespace zelfin
