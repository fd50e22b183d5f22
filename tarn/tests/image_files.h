// Image files for the plug-in's tests: built from a spec and written where the test says.
#pragma once
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <image/builder.h>

namespace tarntest {

inline std::string writeImageFile(const image::ImageSpec& spec, const std::filesystem::path& path) {
    std::vector<uint8_t> bytes;
    std::string error;
    EXPECT_TRUE(image::BuildImage(spec, &bytes, &error)) << error;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path.string();
}

}  // namespace tarntest
