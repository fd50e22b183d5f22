// Dialog templates (RT_DIALOG resources) decoded for the dialog toolkit, which builds its windows
// from them. Both layouts Windows defines are read: DLGTEMPLATEEX (what DIALOGEX gives) and the
// plain DLGTEMPLATE (DIALOG). Texts come out as UTF-8.
//
// Where the module's other resources differ from Windows: an ICON statement stores the whole
// .ico file as the RT_GROUP_ICON resource (there are no separate RT_ICON images), and a BITMAP
// is its DIB, the .bmp file without the 14-byte file header.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace winsim {

struct DialogItem {
    // The control id as stored: a DWORD in DLGTEMPLATEEX (IDC_STATIC is 0xFFFFFFFF), a WORD in
    // DLGTEMPLATE (IDC_STATIC is 0xFFFF).
    uint32_t id = 0;
    // "Button", "Edit", "Static", "ListBox", "ScrollBar" or "ComboBox" for the predefined classes
    // (classOrdinal 0x80..0x85), otherwise the class name as given ("SysListView32", ...).
    std::string className;
    uint16_t classOrdinal = 0;  // 0 when the class was given by name
    // The control's text; for an ICON control the icon's resource name, or textOrdinal when the
    // icon is named by number.
    std::string text;
    std::optional<uint16_t> textOrdinal;
    int16_t x = 0, y = 0, cx = 0, cy = 0;  // dialog units
    uint32_t style = 0;
    uint32_t exStyle = 0;
    uint32_t helpId = 0;
    std::vector<uint8_t> creationData;
};

struct DialogTemplate {
    bool extended = false;  // DLGTEMPLATEEX
    uint32_t style = 0;
    uint32_t exStyle = 0;
    uint32_t helpId = 0;
    int16_t x = 0, y = 0, cx = 0, cy = 0;  // dialog units
    std::string menu;                        // empty without a menu, or when menuOrdinal is set
    std::optional<uint16_t> menuOrdinal;
    std::string windowClass;
    std::optional<uint16_t> windowClassOrdinal;
    std::string title;
    // The font, present when the style has DS_SETFONT.
    bool hasFont = false;
    uint16_t pointSize = 0;
    uint16_t weight = 0;  // DLGTEMPLATEEX only
    bool italic = false;  // DLGTEMPLATEEX only
    uint8_t charset = 0;  // DLGTEMPLATEEX only
    std::string typeface;
    std::vector<DialogItem> items;
};

// Decodes a template of `size` bytes; nullopt when it is truncated or malformed. Every read is
// checked against `size`.
[[gnu::visibility("default")]] std::optional<DialogTemplate> parseDialogTemplate(const void* data, size_t size);

}  // namespace winsim
