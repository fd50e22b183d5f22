// Gathering what the system reads from an image.
#include <image/inspect.h>
#include <image/signatures.h>

#include <cctype>

namespace image {

namespace {

ImageFacts::Text readText(const uint8_t* data, uint32_t length, unsigned index) {
    ImageFacts::Text t;
    char buffer[KPL_TEXT_SIZE];
    t.status = ReadStringDescriptor(data, length, index, buffer, sizeof buffer);
    if (t.status == KPL_OK) t.text = buffer;
    return t;
}

}  // namespace

int32_t JudgeImage(const uint8_t* data, uint32_t length, BinFamily family) {
    if (family == BinFamily::Tarn) {
        if (DecideTarnType(data, length) == kTarnTypeUnknown) return KPL_E_IMAGE_TYPE;
    } else {
        if (DecideScsiType(data, length, nullptr) == kScsiTypeUnknown) return KPL_E_IMAGE_TYPE;
        if (!FindSignature(data, length, "CAPAB")) return KPL_E_IMAGE_INTEGRITY;
    }
    return CheckIntegrity(data, length, family, nullptr) ? KPL_OK : KPL_E_IMAGE_INTEGRITY;
}

ImageFacts InspectImage(const uint8_t* data, uint32_t length, BinFamily family) {
    ImageFacts f;
    f.family = family;
    f.length = length;
    f.type = family == BinFamily::Tarn ? DecideTarnType(data, length) : DecideScsiType(data, length, nullptr);
    if (length >= kTrailerLength) {
        std::string trailer(reinterpret_cast<const char*>(data + length - kTrailerLength), kTrailerLength);
        bool printable = true;
        for (char c : trailer) printable = printable && std::isprint(static_cast<unsigned char>(c));
        if (printable) f.trailer = trailer;
    }
    struct Place {
        uint32_t offset;
        const char* text;
    };
    static const Place kTarnMarkers[] = {
        {kMarkerPage1, "DFU_00"}, {kMarkerPage0, "DFU_02"}, {kMarkerPage0, "DFU_03"}, {kMarkerPage2, "DFU_04"},
        {kMarkerPage1, "DFU_05"}, {kMarkerPage0, "DFU_07"}, {kMarkerPage0, "DFU_08"}, {kMarkerPage0, "DFU_09"},
        {kMarkerPage0, "DFU_0A"}};
    static const Place kScsiMarkers[] = {
        {kMarkerPage1, "SCSIDFU_00"}, {kMarkerPage1, "SCSIDFU_01"}, {kMarkerPage1, "SCSIDFU_02"}};
    if (family == BinFamily::Tarn) {
        for (const Place& m : kTarnMarkers)
            if (SignatureAt(data, length, m.offset, m.text)) f.markers.push_back({m.offset, m.text});
    } else {
        for (const Place& m : kScsiMarkers)
            if (SignatureAt(data, length, m.offset, m.text)) f.markers.push_back({m.offset, m.text});
    }
    f.capab = ReadCapab(data, length, family);
    f.csed = ReadCsed(data, length);
    f.addressShift = FindAddressShiftMarker(data, length);
    f.descPresent = FindSignature(data, length, "DESC").has_value();
    f.manufacturer = readText(data, length, kStringManufacturer);
    f.product = readText(data, length, kStringProduct);
    f.serialString = readText(data, length, kStringSerial);
    f.serial = ReadSerialBlock(data, length);
    if (family == BinFamily::Tarn && f.type == kTarnTypeExternal) f.externalVersion = ReadExternalVersion(data, length);
    f.integrity = FindIntegrityRange(data, length);
    if (f.integrity.inImage) f.integritySum = SumBytes(data, f.integrity.begin, f.integrity.count);
    f.integrityValid = CheckIntegrity(data, length, family, nullptr);
    f.status = JudgeImage(data, length, family);
    return f;
}

}  // namespace image
