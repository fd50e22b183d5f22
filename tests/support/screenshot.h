// Screenshots that the Qt tests leave in the build folder for a person to look at. A test
// program defines ZELFIN_SCREENSHOT_DIR (<build>/screenshots).
#pragma once
#include <gtest/gtest.h>

#include <ui/driver.h>

#include <filesystem>
#include <string>

namespace testsupport {

// Saves what `dialog` shows as <build>/screenshots/<name>, for a person to look at.
inline void saveScreenshot(const ui::Dialog& dialog, const std::string& name) {
    const std::filesystem::path dir = ZELFIN_SCREENSHOT_DIR;
    std::filesystem::create_directories(dir);
    const std::filesystem::path shot = dir / name;
    std::filesystem::remove(shot);
    ASSERT_TRUE(ui::saveScreenshot(dialog, shot.string()));
    EXPECT_GT(std::filesystem::file_size(shot), 1000u);
}

}  // namespace testsupport
