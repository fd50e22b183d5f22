#include "firmware_images.h"

#include <cstring>
#include <string_view>

namespace lab {

namespace {

constexpr uint32_t kMarkerOffset = 4150;  // the type marker lies in the second 4 KB page
constexpr uint32_t kCapabOffset = 0x1100;
constexpr uint32_t kChecksumSigOffset = 0x1200;
constexpr uint32_t kSignatureArea = 0xE000;
constexpr uint32_t kBalanceByte = 0xDFFF;  // adjusted last, so the checked range sums to zero
constexpr uint32_t kCheckedFrom = 4096;

void put(std::vector<uint8_t>& image, uint32_t offset, std::string_view text) {
    std::memcpy(image.data() + offset, text.data(), text.size());
}

// Deterministic filler that looks like code rather than erased flash, different per seed.
void fill(std::vector<uint8_t>& image, const std::string& seed) {
    uint32_t x = 2166136261u;
    for (char c : seed) x = (x ^ static_cast<uint8_t>(c)) * 16777619u;
    for (auto& b : image) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
}

std::ptrdiff_t find(const uint8_t* data, size_t length, std::string_view sig) {
    if (length < sig.size()) return -1;
    for (size_t i = 0; i + sig.size() <= length; ++i)
        if (std::memcmp(data + i, sig.data(), sig.size()) == 0) return static_cast<std::ptrdiff_t>(i);
    return -1;
}

}  // namespace

std::vector<uint8_t> makeScsiFamilyImage(const ScsiImageParams& p) {
    std::vector<uint8_t> image(kFirmwareSize);
    fill(image, p.signature);
    if (p.type >= 0 && p.type <= 9) put(image, kMarkerOffset, "SCSIDFU_0" + std::to_string(p.type));
    put(image, kCapabOffset, "CAPAB");
    image[kCapabOffset + 5] = 0;
    image[kCapabOffset + 6] = p.productType;
    image[kCapabOffset + 7] = p.feature;
    image[kCapabOffset + 8] = p.major;
    image[kCapabOffset + 9] = p.minor;
    put(image, kChecksumSigOffset, "CHKSUMSIG");
    std::memset(image.data() + kSignatureArea, 0, 4096);
    put(image, kSignatureArea, "SIGAREA:" + p.signature.substr(0, 64));
    put(image, kFirmwareSize - 8, "ROVA_DFU");
    image[kBalanceByte] = 0;
    uint8_t sum = 0;
    for (uint32_t i = kCheckedFrom; i < kFirmwareSize; ++i) sum = static_cast<uint8_t>(sum + image[i]);
    image[kBalanceByte] = static_cast<uint8_t>(-sum);
    return image;
}

std::vector<uint8_t> makeExternalImage(uint8_t major, uint8_t minor, const std::string& seed) {
    std::vector<uint8_t> image(kFirmwareSize);
    fill(image, seed);
    image[16] = major;
    image[17] = minor;
    put(image, kFirmwareSize - 8, "DM3VALID");
    return image;
}

ScsiImageInfo inspectScsiImage(const uint8_t* data, size_t length) {
    ScsiImageInfo info;
    if (length >= kMarkerOffset + 10 && std::memcmp(data + kMarkerOffset, "SCSIDFU_0", 9) == 0 &&
        data[kMarkerOffset + 9] >= '0' && data[kMarkerOffset + 9] <= '2')
        info.dfuType = static_cast<uint8_t>(data[kMarkerOffset + 9] - '0');
    const std::ptrdiff_t capab = find(data, length, "CAPAB");
    if (capab >= 0 && static_cast<size_t>(capab) + 10 <= length) {
        info.productType = data[capab + 6];
        info.feature = data[capab + 7];
        info.major = data[capab + 8];
        info.minor = data[capab + 9];
    }
    return info;
}

}  // namespace lab
