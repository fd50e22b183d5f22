#include "status.h"

#include <ui/win32.h>

#include <cstdio>

namespace zelfin {

namespace {
ui::Dialog* currentMainWindow = nullptr;
}

void setMainWindow(ui::Dialog* dialog) { currentMainWindow = dialog; }

HWND mainWindow() { return currentMainWindow && currentMainWindow->isOpen() ? currentMainWindow->hwnd() : nullptr; }

void reportTextBox(const char* text) {
    char caption[kTextSize];
    loadString(kStrCaption, caption);
    MessageBoxA(mainWindow(), text, caption, MB_OK | MB_ICONERROR);
}

void reportStatusBox(const HostStatus& status) {
    char text[kTextSize] = {};
    if (status.fromPlugin) {
        // The text comes from the plug-in that produced the code, whichever plug-in is current.
        const PluginSlot* slot = status.pluginIndex < theApp.pluginCount ? &theApp.plugins[status.pluginIndex]
                                                                         : theApp.currentPlugin;
        if (slot && slot->getErrorMessage) slot->getErrorMessage(status.code, text);
        text[sizeof text - 1] = '\0';
    } else {
        loadString(static_cast<UINT>(status.code), text);
    }
    reportTextBox(text);
}

void systemErrorBox() {
    const DWORD error = GetLastError();
    char text[1024] = {};
    if (!FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                        MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, sizeof text, nullptr))
        std::snprintf(text, sizeof text, "Error %lu", static_cast<unsigned long>(error));
    MessageBoxA(nullptr, text, "Zelfin", MB_OK | MB_ICONERROR);
}

}  // namespace zelfin
