// The lab's registry, kept in registry.json in the lab folder so that values survive between
// runs and between the processes that share a lab. Every change is written at once under a lock
// file; reads see what other processes wrote.
//
// Key paths are "ROOT\sub\key" with ROOT one of HKEY_LOCAL_MACHINE (HKLM), HKEY_CLASSES_ROOT
// (HKCR), HKEY_CURRENT_USER (HKCU), HKEY_USERS (HKU) or HKEY_DYN_DATA. Names of keys and values
// are found without regard to case and keep the case they were created with.
#pragma once
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace lab {

struct RegValue {
    uint32_t type = 0;  // REG_SZ, REG_DWORD, ...
    std::vector<uint8_t> data;
};

class Registry {
public:
    explicit Registry(std::filesystem::path file);
    ~Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    // Each returns a Win32 error code: ERROR_SUCCESS, ERROR_FILE_NOT_FOUND for a missing key or
    // value, ERROR_INVALID_PARAMETER for a malformed path, ERROR_REGISTRY_IO_FAILED when the file
    // cannot be read or written, ERROR_REGISTRY_CORRUPT when it holds something that is not a
    // registry (it is then left exactly as it is: changes are refused, never written over it).
    long keyExists(const std::string& path) const;
    long createKey(const std::string& path, bool* created);
    long getValue(const std::string& path, const std::string& name, RegValue* out) const;
    long setValue(const std::string& path, const std::string& name, const RegValue& value);
    long deleteValue(const std::string& path, const std::string& name);
    // Fails with ERROR_ACCESS_DENIED when the key still has subkeys, as on the NT family.
    long deleteKey(const std::string& path);
    // Subkey names and values in a stable order (sorted without regard to case).
    long subKeys(const std::string& path, std::vector<std::string>* out) const;
    long values(const std::string& path, std::vector<std::pair<std::string, RegValue>>* out) const;

    const std::filesystem::path& file() const { return file_; }

private:
    struct State;  // the cached tree and the identity of the file it was read from
    std::filesystem::path file_;
    std::unique_ptr<State> state_;
};

}  // namespace lab
