// Modules inside winsim: the table behind HMODULE values, the resources each module carries,
// and the built-in pseudo-modules that stand for DLLs of the simulated PC's system folder.
#pragma once
#include <functional>
#include <memory>
#include <string>

#include <winsim/windows.h>

#include "resource_directory.h"

namespace winsim {

// A built-in module, such as KERNEL32.DLL: LoadLibraryA and GetModuleHandleA find it by its
// file name (case-insensitively, ".DLL" implied) only while available() says the simulated PC
// has it; GetProcAddress asks lookup() for the export and gets NULL for a missing one. Built-in
// modules are found where the system folder lies in the search order: after the program's
// folder, before the current folder. They stay mapped for the life of the process.
void registerBuiltinModule(std::string name, std::function<bool()> available,
                           std::function<FARPROC(const char*)> lookup);

// The resource directory of a module; NULL stands for the program. For an unknown handle it
// returns nullptr with ERROR_MOD_NOT_FOUND. Pointers into the directory stay valid until the
// module's last FreeLibrary.
std::shared_ptr<const ResourceDirectory> moduleResources(HMODULE module);

// HRSRC values name an entry of a module's directory: they are refused once the module is gone.
HRSRC makeResourceHandle(HMODULE module, size_t index);
// The entry an HRSRC names (its directory is kept alive by the returned pointer) and the module
// it belongs to, or nullptr with ERROR_INVALID_HANDLE.
std::shared_ptr<const ResourceDirectory> resolveResourceHandle(HRSRC resource, size_t* index, HMODULE* owner);

// The handle GetModuleHandleA(NULL) returns: the program itself.
HMODULE programModule();

}  // namespace winsim
