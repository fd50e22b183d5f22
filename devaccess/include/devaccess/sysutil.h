// Small system utilities of the device-access library, used by the host and the plug-ins.
// All of them work on caller-owned buffers and allocate nothing the caller must free.
#pragma once
#include <winsim/windows.h>

#include <cstddef>
#include <cstdint>

// 0 for the Windows 9x family, 1 for the NT family, 2 when the version query fails or reports
// any other platform.
int32_t GetPlatformId();

// The Windows folder without a trailing backslash, into a 260-byte buffer; 1 on success, else 0.
int32_t GetWindowsDir(char* buffer);

// Writes one value under an open key: REG_SZ takes text (at most 259 characters, stored with its
// terminator), REG_DWORD takes number (four bytes, least significant first), any other type is
// written without data. 1 on success, else 0.
int32_t RegWriteValue(HKEY key, const char* name, DWORD type, const char* text, DWORD number);

// Copies string `id` of `module` in `language` into out, converted to the ANSI code page. At
// most outSize - 1 bytes are written, cut at a character boundary, so the text is always
// terminated. A missing module, block or string leaves out empty. Returns the text's length.
int32_t LoadResString(HMODULE module, UINT id, LANGID language, char* out, size_t outSize);

// The display name of a reader device type; an unknown code gives "UnKnown: <code> (0x<code>)".
void GetDeviceTypeName(int32_t code, char* out, size_t outSize = MAX_PATH);

// The library's diagnostic trace hook; it produces no output.
void DebugTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));
