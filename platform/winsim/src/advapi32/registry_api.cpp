// The registry calls, over the lab's registry. An HKEY is an entry of this module's own table
// (the predefined roots aside): it remembers the full path of its key and the access it was
// opened with, so a closed or forged HKEY is refused instead of being trusted. Like Windows, the
// Reg* functions return their error and leave the thread's last error alone.
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <unordered_map>


#include "internal.h"

namespace winsim {

namespace {

struct OpenKey {
    std::string path;  // "HKEY_LOCAL_MACHINE\Software\..."
    REGSAM access = 0;
};

class KeyTable {
public:
    HKEY insert(OpenKey key) {
        std::lock_guard<std::mutex> lock(mutex_);
        const uintptr_t value = next_;
        next_ += 4;  // never reused, so a stale HKEY can never reach a newer key
        keys_.emplace(value, std::move(key));
        return reinterpret_cast<HKEY>(value);
    }
    std::optional<OpenKey> find(HKEY h) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = keys_.find(reinterpret_cast<uintptr_t>(h));
        if (it == keys_.end()) return std::nullopt;
        return it->second;
    }
    bool remove(HKEY h) {
        std::lock_guard<std::mutex> lock(mutex_);
        return keys_.erase(reinterpret_cast<uintptr_t>(h)) != 0;
    }

private:
    std::mutex mutex_;
    std::unordered_map<uintptr_t, OpenKey> keys_;
    // Apart from the kernel handles (which start at 0x100), so that an HKEY passed to
    // CloseHandle or a file handle passed to RegCloseKey is refused by both tables.
    uintptr_t next_ = 0x10000000;
};

KeyTable& keyTable() {
    static KeyTable* table = new KeyTable;  // never destroyed: keys may be closed during exit
    return *table;
}

lab::Registry& registry() { return currentLab().registry(); }

constexpr REGSAM kKnownAccess = KEY_ALL_ACCESS | KEY_WOW64_64KEY | KEY_WOW64_32KEY;

struct Predefined {
    HKEY key;
    const char* path;
};
const Predefined kPredefined[] = {{HKEY_CLASSES_ROOT, "HKEY_CLASSES_ROOT"},
                                  {HKEY_CURRENT_USER, "HKEY_CURRENT_USER"},
                                  {HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE"},
                                  {HKEY_USERS, "HKEY_USERS"},
                                  {HKEY_DYN_DATA, "HKEY_DYN_DATA"}};

const Predefined* predefined(HKEY h) {
    for (const Predefined& p : kPredefined)
        if (p.key == h) return &p;
    return nullptr;
}

// The key behind hKey. The predefined roots are always open with full access; HKEY_DYN_DATA
// exists only on the 9x family, and the NT family refuses it as a handle it does not know.
LSTATUS resolveKey(HKEY h, OpenKey* out) {
    if (const Predefined* p = predefined(h)) {
        if (h == HKEY_DYN_DATA && !currentLab().is9x()) return ERROR_INVALID_HANDLE;
        *out = {p->path, KEY_ALL_ACCESS};
        return ERROR_SUCCESS;
    }
    auto key = keyTable().find(h);
    if (!key) return ERROR_INVALID_HANDLE;
    *out = std::move(*key);
    return ERROR_SUCCESS;
}

LSTATUS joinPath(const std::string& base, LPCSTR subKey, std::string* out) {
    if (!subKey || !*subKey) {
        *out = base;
        return ERROR_SUCCESS;
    }
    std::string sub(subKey);
    if (sub.front() == '\\') return ERROR_BAD_PATHNAME;
    if (sub.back() == '\\') sub.pop_back();  // "Software\" names "Software"
    *out = base + "\\" + sub;
    return ERROR_SUCCESS;
}

// A key deleted while a handle to it is open answers ERROR_KEY_DELETED through that handle.
LSTATUS orKeyDeleted(LSTATUS rc, const std::string& keyPath) {
    if (rc == ERROR_FILE_NOT_FOUND && registry().keyExists(keyPath) == ERROR_FILE_NOT_FOUND) return ERROR_KEY_DELETED;
    return rc;
}

// Nothing may throw across the API.
template <class F>
LSTATUS guarded(F&& f) noexcept {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        return ERROR_GEN_FAILURE;
    }
}

}  // namespace

}  // namespace winsim

using namespace winsim;

extern "C" {

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
    return guarded([&]() -> LSTATUS {
        if (!phkResult) return ERROR_INVALID_PARAMETER;
        *phkResult = nullptr;
        if (ulOptions != 0 || (samDesired & ~kKnownAccess)) return ERROR_NOT_SUPPORTED;
        OpenKey base;
        LSTATUS rc = resolveKey(hKey, &base);
        if (rc != ERROR_SUCCESS) return rc;
        std::string path;
        if ((rc = joinPath(base.path, lpSubKey, &path)) != ERROR_SUCCESS) return rc;
        if ((rc = registry().keyExists(path)) != ERROR_SUCCESS) return orKeyDeleted(rc, base.path);
        *phkResult = keyTable().insert({path, samDesired});
        return ERROR_SUCCESS;
    });
}

LSTATUS WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                               REGSAM samDesired, LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                               LPDWORD lpdwDisposition) {
    (void)Reserved;  // ignored, as Windows ignores it
    return guarded([&]() -> LSTATUS {
        if (!phkResult) return ERROR_INVALID_PARAMETER;
        *phkResult = nullptr;
        if (!lpSubKey) return ERROR_INVALID_PARAMETER;
        if (dwOptions != REG_OPTION_NON_VOLATILE || (samDesired & ~kKnownAccess)) return ERROR_NOT_SUPPORTED;
        // Classes, security descriptors and inheritable key handles are not kept.
        if (lpClass && *lpClass) return ERROR_NOT_SUPPORTED;
        if (lpSecurityAttributes && (lpSecurityAttributes->lpSecurityDescriptor || lpSecurityAttributes->bInheritHandle))
            return ERROR_NOT_SUPPORTED;
        OpenKey base;
        LSTATUS rc = resolveKey(hKey, &base);
        if (rc != ERROR_SUCCESS) return rc;
        std::string path;
        if ((rc = joinPath(base.path, lpSubKey, &path)) != ERROR_SUCCESS) return rc;
        // Creating is checked against the key's security, not the access of hKey, so a handle
        // opened for reading may create subkeys, as on Windows. Under a deleted key nothing is.
        if (!predefined(hKey) && registry().keyExists(base.path) == ERROR_FILE_NOT_FOUND) return ERROR_KEY_DELETED;
        bool created = false;
        if ((rc = registry().createKey(path, &created)) != ERROR_SUCCESS) return rc;
        *phkResult = keyTable().insert({path, samDesired});
        if (lpdwDisposition) *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
        return ERROR_SUCCESS;
    });
}

LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData) {
    return guarded([&]() -> LSTATUS {
        if (lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
        OpenKey key;
        LSTATUS rc = resolveKey(hKey, &key);
        if (rc != ERROR_SUCCESS) return rc;
        if (!(key.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
        lab::RegValue value;
        rc = registry().getValue(key.path, lpValueName ? lpValueName : "", &value);
        if (rc != ERROR_SUCCESS) return orKeyDeleted(rc, key.path);
        const auto size = static_cast<DWORD>(value.data.size());
        if (lpType) *lpType = value.type;
        if (lpData) {
            if (*lpcbData < size) {
                *lpcbData = size;
                return ERROR_MORE_DATA;
            }
            if (size) std::memcpy(lpData, value.data.data(), size);
        }
        if (lpcbData) *lpcbData = size;
        return ERROR_SUCCESS;
    });
}

LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                              DWORD cbData) {
    (void)Reserved;  // ignored, as Windows ignores it
    return guarded([&]() -> LSTATUS {
        OpenKey key;
        LSTATUS rc = resolveKey(hKey, &key);
        if (rc != ERROR_SUCCESS) return rc;
        if (!(key.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
        if (!lpData && cbData) return ERROR_NOACCESS;
        lab::RegValue value;
        value.type = dwType;
        if (cbData) value.data.assign(lpData, lpData + cbData);
        rc = registry().setValue(key.path, lpValueName ? lpValueName : "", value);
        return orKeyDeleted(rc, key.path);
    });
}

LSTATUS WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
    return guarded([&]() -> LSTATUS {
        OpenKey key;
        LSTATUS rc = resolveKey(hKey, &key);
        if (rc != ERROR_SUCCESS) return rc;
        if (!(key.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
        rc = registry().deleteValue(key.path, lpValueName ? lpValueName : "");
        return orKeyDeleted(rc, key.path);
    });
}

LSTATUS WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                             LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
    return guarded([&]() -> LSTATUS {
        if (!lpName || !lpcchName || lpReserved || (lpClass && !lpcchClass)) return ERROR_INVALID_PARAMETER;
        OpenKey key;
        LSTATUS rc = resolveKey(hKey, &key);
        if (rc != ERROR_SUCCESS) return rc;
        if (!(key.access & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
        std::vector<std::string> names;
        rc = registry().subKeys(key.path, &names);
        if (rc != ERROR_SUCCESS) return orKeyDeleted(rc, key.path);
        if (dwIndex >= names.size()) return ERROR_NO_MORE_ITEMS;
        const std::string& name = names[dwIndex];
        if (name.size() >= *lpcchName) return ERROR_MORE_DATA;
        if (lpClass && *lpcchClass == 0) return ERROR_MORE_DATA;
        std::memcpy(lpName, name.c_str(), name.size() + 1);
        *lpcchName = static_cast<DWORD>(name.size());
        if (lpClass) {
            lpClass[0] = 0;  // keys have no class here
            *lpcchClass = 0;
        }
        // Write times are not kept; the earliest time says so rather than inventing one.
        if (lpftLastWriteTime) *lpftLastWriteTime = FILETIME{0, 0};
        return ERROR_SUCCESS;
    });
}

LSTATUS WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                             LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    return guarded([&]() -> LSTATUS {
        if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
        OpenKey key;
        LSTATUS rc = resolveKey(hKey, &key);
        if (rc != ERROR_SUCCESS) return rc;
        if (!(key.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
        std::vector<std::pair<std::string, lab::RegValue>> values;
        rc = registry().values(key.path, &values);
        if (rc != ERROR_SUCCESS) return orKeyDeleted(rc, key.path);
        if (dwIndex >= values.size()) return ERROR_NO_MORE_ITEMS;
        const auto& [name, value] = values[dwIndex];
        if (name.size() >= *lpcchValueName) return ERROR_MORE_DATA;
        std::memcpy(lpValueName, name.c_str(), name.size() + 1);
        *lpcchValueName = static_cast<DWORD>(name.size());
        if (lpType) *lpType = value.type;
        const auto size = static_cast<DWORD>(value.data.size());
        if (lpData) {
            if (*lpcbData < size) {
                *lpcbData = size;
                return ERROR_MORE_DATA;
            }
            if (size) std::memcpy(lpData, value.data.data(), size);
        }
        if (lpcbData) *lpcbData = size;
        return ERROR_SUCCESS;
    });
}

LSTATUS WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    return guarded([&]() -> LSTATUS {
        if (!lpSubKey) return ERROR_INVALID_PARAMETER;
        OpenKey base;
        LSTATUS rc = resolveKey(hKey, &base);
        if (rc != ERROR_SUCCESS) return rc;
        std::string path;
        if ((rc = joinPath(base.path, lpSubKey, &path)) != ERROR_SUCCESS) return rc;
        // Windows checks the right to delete against the subkey itself, not the access of hKey.
        rc = registry().deleteKey(path);
        return orKeyDeleted(rc, base.path);
    });
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
    return guarded([&]() -> LSTATUS {
        if (predefined(hKey)) {
            OpenKey root;
            return resolveKey(hKey, &root);  // closing a root does nothing, where the root exists
        }
        return keyTable().remove(hKey) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
    });
}

}  // extern "C"
