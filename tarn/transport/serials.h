// Serial-number preservation: a reader keeps its serial number across a firmware update. Before a
// download the serial of the reader's current firmware (the uploaded copy) is carried into the
// new image; an image whose serial is blank gets a random one.
//
// A download can fail half-way, after which the reader may report a damaged or blank serial. The
// serial first carried for a reader is therefore kept, per place on the bus (its hub and port, the
// same while the reader re-enumerates in and out of upgrade mode), and used again on the retries
// of that place until ForgetKeptSerial after a verified download. A place is any text; a null or
// empty text is one place of its own.
#pragma once
#include <cstdint>

#include <image/binfile.h>

namespace tarn {

// Length of the random serial string descriptor: its header and twelve UTF-16 characters.
constexpr uint8_t kRandomSerialLength = 26;

// Examines the image's serial block ("SERCHKC"). On KPL_OK the file's serial block names the
// "S" of that block and, for a string serial, its serial string offset names the descriptor, which
// lies inside the image. Otherwise both are cleared and the status is KPL_E_SERIAL_DISABLED (the
// descriptor's iSerialNumber is not 5), KPL_E_SERIAL_TYPE (neither number nor string) or
// KPL_E_SERIAL_MISSING (a block, the string table or the string itself is missing or lies past
// the end).
int32_t ExamineSerial(image::BinFile& file);

// Carries the serial of the reader's current firmware (deviceCopy) into `image`, for the reader
// at `place`. KPL_OK (also when neither has a serial), KPL_E_NO_MEMORY, or KPL_E_SERIAL_CARRY for
// every other failure. The device copy is not changed.
int32_t CarrySerial(image::BinFile& deviceCopy, image::BinFile& image, const char* place);

// Gives the image the serial kept for `place`, or leaves it its own when that is not blank, or a
// random one. KPL_OK (also when the image has serials disabled), an ExamineSerial status,
// KPL_E_SERIAL_CARRY when the serial string would not fit in the image, or KPL_E_NO_MEMORY.
int32_t NewSerial(image::BinFile& image, const char* place);

// Writes the serial string descriptor of `value` into descriptor[kRandomSerialLength]: bLength
// 26, type 3, "0000" and the eight upper-case hex digits of the value's four bytes, least
// significant byte first. KPL_OK; KPL_E_SERIAL_CARRY for a null descriptor.
int32_t RandomSerialString(uint32_t value, uint8_t* descriptor);

// Forgets the serial kept for `place` (after a verified download on that reader).
void ForgetKeptSerial(const char* place);
// Whether a serial is kept for `place`.
bool HasKeptSerial(const char* place);

}  // namespace tarn
