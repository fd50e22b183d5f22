// The lab's registry file. The whole tree is one JSON document that a person can read and edit:
// text and DWORD values appear as themselves, everything else as hex so that its bytes survive
// exactly. Processes sharing a lab take turns through flock on a lock file beside the registry,
// and every change replaces the file by rename, so that no reader (and no crash) ever leaves or
// sees half a file.
#include "lab/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <system_error>

#include <nlohmann/json.hpp>
#include <winsim/winreg.h>

namespace fs = std::filesystem;
using nlohmann::json;
using nlohmann::ordered_json;

namespace lab {

namespace {

// Windows counts names in UTF-16 units.
constexpr size_t kMaxKeyNameChars = 255;
constexpr size_t kMaxValueNameChars = 16383;

// ---- names ---------------------------------------------------------------------------------

char foldCase(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Windows orders and matches registry names by their upper-case form.
int compareNoCase(const std::string& a, const std::string& b) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const auto x = static_cast<unsigned char>(foldCase(a[i]));
        const auto y = static_cast<unsigned char>(foldCase(b[i]));
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

struct NoCaseLess {
    bool operator()(const std::string& a, const std::string& b) const { return compareNoCase(a, b) < 0; }
};

// Length of the well-formed UTF-8 sequence at p, or 0 when the bytes there are not one.
size_t utf8SequenceLength(const unsigned char* p, size_t n) {
    const unsigned char c = p[0];
    if (c < 0x80) return 1;
    size_t len;
    char32_t v;
    if ((c & 0xE0) == 0xC0) {
        len = 2;
        v = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        len = 3;
        v = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        len = 4;
        v = c & 0x07;
    } else {
        return 0;
    }
    if (len > n) return 0;
    for (size_t i = 1; i < len; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        v = (v << 6) | (p[i] & 0x3F);
    }
    static const char32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (v < minimum[len] || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
    return len;
}

bool isValidUtf8(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n;) {
        const size_t len = utf8SequenceLength(p + i, n - i);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

// The ANSI code page is UTF-8, so a name with bytes that are not UTF-8 reaches the registry the
// way Windows converts it: each such byte becomes U+FFFD.
std::string normalizeName(const std::string& s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    if (isValidUtf8(p, s.size())) return s;
    std::string out;
    for (size_t i = 0; i < s.size();) {
        const size_t len = utf8SequenceLength(p + i, s.size() - i);
        if (len == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(s, i, len);
            i += len;
        }
    }
    return out;
}

// UTF-16 units of a well-formed UTF-8 string.
size_t utf16Length(const std::string& s) {
    size_t units = 0;
    for (unsigned char c : s) {
        if ((c & 0xC0) == 0x80) continue;  // continuation byte
        units += (c >= 0xF0) ? 2 : 1;
    }
    return units;
}

struct RootName {
    const char* name;
    const char* alias;
};
constexpr RootName kRoots[] = {{"HKEY_CLASSES_ROOT", "HKCR"},
                               {"HKEY_CURRENT_USER", "HKCU"},
                               {"HKEY_LOCAL_MACHINE", "HKLM"},
                               {"HKEY_USERS", "HKU"},
                               {"HKEY_DYN_DATA", nullptr}};

const char* rootLongName(const std::string& s) {
    for (const RootName& r : kRoots)
        if (compareNoCase(s, r.name) == 0 || (r.alias && compareNoCase(s, r.alias) == 0)) return r.name;
    return nullptr;
}

bool validKeyName(const std::string& name) {
    return !name.empty() && name.find('\\') == std::string::npos && utf16Length(name) <= kMaxKeyNameChars;
}

// Splits "ROOT\a\b" into the root's long name and the subkey names.
bool parsePath(const std::string& path, std::vector<std::string>* parts) {
    parts->clear();
    size_t start = 0;
    for (;;) {
        const size_t end = path.find('\\', start);
        std::string part = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (parts->empty()) {
            const char* root = rootLongName(part);
            if (!root) return false;
            parts->push_back(root);
        } else {
            part = normalizeName(part);
            if (!validKeyName(part)) return false;
            parts->push_back(std::move(part));
        }
        if (end == std::string::npos) return true;
        start = end + 1;
    }
}

// ---- the tree ------------------------------------------------------------------------------

struct Node {
    std::map<std::string, RegValue, NoCaseLess> values;
    std::map<std::string, std::unique_ptr<Node>, NoCaseLess> keys;
};

// The document: a node whose keys are the roots, all of which always exist.
Node emptyDocument() {
    Node doc;
    for (const RootName& r : kRoots) doc.keys.emplace(r.name, std::make_unique<Node>());
    return doc;
}

// The key named by the first count parts, or null.
const Node* findKey(const Node& doc, const std::vector<std::string>& parts, size_t count) {
    const Node* n = &doc;
    for (size_t i = 0; i < count; ++i) {
        auto it = n->keys.find(parts[i]);
        if (it == n->keys.end()) return nullptr;
        n = it->second.get();
    }
    return n;
}

Node* findKey(Node& doc, const std::vector<std::string>& parts, size_t count) {
    return const_cast<Node*>(findKey(static_cast<const Node&>(doc), parts, count));
}

// ---- values as JSON ------------------------------------------------------------------------

struct TypeName {
    uint32_t type;
    const char* name;
};
constexpr TypeName kTypeNames[] = {{0, "REG_NONE"},
                                   {1, "REG_SZ"},
                                   {2, "REG_EXPAND_SZ"},
                                   {3, "REG_BINARY"},
                                   {4, "REG_DWORD"},
                                   {5, "REG_DWORD_BIG_ENDIAN"},
                                   {6, "REG_LINK"},
                                   {7, "REG_MULTI_SZ"},
                                   {8, "REG_RESOURCE_LIST"},
                                   {9, "REG_FULL_RESOURCE_DESCRIPTOR"},
                                   {10, "REG_RESOURCE_REQUIREMENTS_LIST"},
                                   {11, "REG_QWORD"}};

const char* typeName(uint32_t type) {
    for (const TypeName& t : kTypeNames)
        if (t.type == type) return t.name;
    return nullptr;
}

std::optional<uint32_t> typeFromName(const std::string& name) {
    for (const TypeName& t : kTypeNames)
        if (name == t.name) return t.type;
    return std::nullopt;
}

// Text is shown as text only where that is exact: one terminating NUL, no other, valid UTF-8.
bool isExactText(const RegValue& v) {
    if (v.type != REG_SZ && v.type != REG_EXPAND_SZ) return false;
    if (v.data.empty() || v.data.back() != 0) return false;
    const size_t len = v.data.size() - 1;
    return std::memchr(v.data.data(), 0, len) == nullptr && isValidUtf8(v.data.data(), len);
}

std::string toHex(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

ordered_json valueToJson(const RegValue& v) {
    ordered_json j = ordered_json::object();
    const char* name = typeName(v.type);
    j["type"] = name ? ordered_json(name) : ordered_json(v.type);
    if (isExactText(v)) {
        j["data"] = std::string(v.data.begin(), v.data.end() - 1);
    } else if (v.type == REG_DWORD && v.data.size() == 4) {
        j["data"] = static_cast<uint32_t>(v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) |
                                          (static_cast<uint32_t>(v.data[3]) << 24));
    } else {
        j["hex"] = toHex(v.data);
    }
    return j;
}

ordered_json keyToJson(const Node& n) {
    ordered_json values = ordered_json::object();
    for (const auto& [name, value] : n.values) values[name] = valueToJson(value);
    ordered_json keys = ordered_json::object();
    for (const auto& [name, child] : n.keys) keys[name] = keyToJson(*child);
    ordered_json j = ordered_json::object();
    j["values"] = std::move(values);
    j["keys"] = std::move(keys);
    return j;
}

std::string serialize(const Node& doc) {
    ordered_json j = ordered_json::object();
    for (const auto& [name, root] : doc.keys) j[name] = keyToJson(*root);
    return j.dump(2) + "\n";
}

// A file that cannot be read back exactly as a registry.
struct Corrupt : std::runtime_error {
    using std::runtime_error::runtime_error;
};

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

RegValue valueFromJson(const json& j) {
    if (!j.is_object()) throw Corrupt("a value must be an object");
    for (const auto& item : j.items())
        if (item.key() != "type" && item.key() != "data" && item.key() != "hex")
            throw Corrupt("unknown member " + item.key());
    RegValue v;
    if (!j.contains("type")) throw Corrupt("a value needs a type");
    const json& t = j.at("type");
    if (t.is_string()) {
        auto type = typeFromName(t.get<std::string>());
        if (!type) throw Corrupt("unknown type");
        v.type = *type;
    } else if (t.is_number_unsigned() && t.get<uint64_t>() <= 0xFFFFFFFFu) {
        v.type = static_cast<uint32_t>(t.get<uint64_t>());
    } else {
        throw Corrupt("bad type");
    }
    const bool hasData = j.contains("data");
    if (hasData == j.contains("hex")) throw Corrupt("a value has either data or hex");
    if (!hasData) {
        const json& h = j.at("hex");
        if (!h.is_string()) throw Corrupt("hex must be a string");
        const std::string s = h.get<std::string>();
        if (s.size() % 2) throw Corrupt("hex of odd length");
        v.data.reserve(s.size() / 2);
        for (size_t i = 0; i < s.size(); i += 2) {
            const int hi = hexDigit(s[i]), lo = hexDigit(s[i + 1]);
            if (hi < 0 || lo < 0) throw Corrupt("hex with a non-hex digit");
            v.data.push_back(static_cast<uint8_t>(hi << 4 | lo));
        }
        return v;
    }
    const json& d = j.at("data");
    if (d.is_string() && (v.type == REG_SZ || v.type == REG_EXPAND_SZ)) {
        const std::string s = d.get<std::string>();
        v.data.assign(s.begin(), s.end());
        v.data.push_back(0);
    } else if (d.is_number_unsigned() && v.type == REG_DWORD && d.get<uint64_t>() <= 0xFFFFFFFFu) {
        const auto x = static_cast<uint32_t>(d.get<uint64_t>());
        v.data = {static_cast<uint8_t>(x), static_cast<uint8_t>(x >> 8), static_cast<uint8_t>(x >> 16),
                  static_cast<uint8_t>(x >> 24)};
    } else {
        throw Corrupt("data does not fit the type");
    }
    return v;
}

void keyFromJson(const json& j, Node* out) {
    if (!j.is_object()) throw Corrupt("a key must be an object");
    for (const auto& item : j.items()) {
        if (item.key() == "values") {
            if (!item.value().is_object()) throw Corrupt("values must be an object");
            for (const auto& v : item.value().items())
                if (!out->values.emplace(v.key(), valueFromJson(v.value())).second)
                    throw Corrupt("two values named " + v.key());
        } else if (item.key() == "keys") {
            if (!item.value().is_object()) throw Corrupt("keys must be an object");
            for (const auto& k : item.value().items()) {
                if (!validKeyName(k.key())) throw Corrupt("bad key name");
                auto child = std::make_unique<Node>();
                keyFromJson(k.value(), child.get());
                if (!out->keys.emplace(k.key(), std::move(child)).second) throw Corrupt("two keys named " + k.key());
            }
        } else {
            throw Corrupt("unknown member " + item.key());
        }
    }
}

Node parseDocument(const std::string& text) {
    Node doc = emptyDocument();
    // An empty file is what a person gets from creating one by hand: nothing to lose in it.
    if (text.find_first_not_of(" \t\r\n") == std::string::npos) return doc;
    json j;
    try {
        j = json::parse(text);
    } catch (const json::exception& e) {
        throw Corrupt(e.what());
    }
    if (!j.is_object()) throw Corrupt("the registry must be an object");
    for (const auto& item : j.items()) {
        // Stored under the long names only, so that one root cannot appear twice.
        const char* root = rootLongName(item.key());
        if (!root || item.key() != root) throw Corrupt("unknown root " + item.key());
        keyFromJson(item.value(), doc.keys.at(root).get());
    }
    return doc;
}

// ---- the file ------------------------------------------------------------------------------

class LockFile {
public:
    LockFile(const fs::path& registryFile, bool exclusive) {
        fs::path p = registryFile;
        p += ".lock";
        fd_ = ::open(p.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ < 0 && !exclusive && (errno == EACCES || errno == EROFS)) fd_ = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0) return;
        while (::flock(fd_, exclusive ? LOCK_EX : LOCK_SH) != 0) {
            if (errno != EINTR) {
                ::close(fd_);
                fd_ = -1;
                return;
            }
        }
    }
    ~LockFile() {
        if (fd_ >= 0) ::close(fd_);  // releases the lock
    }
    LockFile(const LockFile&) = delete;
    LockFile& operator=(const LockFile&) = delete;
    bool locked() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

bool readAll(int fd, std::string* out) {
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n == 0) return true;
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        out->append(buf, static_cast<size_t>(n));
    }
}

bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// What a Registry object last read, and which file that was. The file is kept open so that its inode
// number cannot be handed to a newer file: equal identity then really means the same file.
struct RegistryCache {
    std::mutex mutex;
    bool valid = false;
    bool missing = false;
    struct stat identity {};
    int heldFd = -1;
    long status = ERROR_SUCCESS;  // or ERROR_REGISTRY_CORRUPT
    Node tree = emptyDocument();

    ~RegistryCache() { release(); }
    void release() {
        if (heldFd >= 0) ::close(heldFd);
        heldFd = -1;
    }
    void hold(int fd, const struct stat& st) {
        release();
        heldFd = fd;
        identity = st;
        missing = false;
    }
};

// Brings the cache up to date with the file. Called with the lock file held.
long refresh(RegistryCache& c, const fs::path& file) {
    struct stat st;
    if (::stat(file.c_str(), &st) != 0) {
        if (errno != ENOENT) {
            c.valid = false;
            return ERROR_REGISTRY_IO_FAILED;
        }
        if (!(c.valid && c.missing)) {
            c.release();
            c.tree = emptyDocument();
            c.status = ERROR_SUCCESS;
            c.missing = true;
            c.valid = true;
        }
        return ERROR_SUCCESS;
    }
    if (c.valid && !c.missing && sameFile(st, c.identity)) return c.status;

    c.valid = false;
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return ERROR_REGISTRY_IO_FAILED;
    std::string text;
    // The identity is taken before reading: a change made while we read shows as a new identity.
    if (::fstat(fd, &st) != 0 || !readAll(fd, &text)) {
        ::close(fd);
        return ERROR_REGISTRY_IO_FAILED;
    }
    c.hold(fd, st);
    try {
        c.tree = parseDocument(text);
        c.status = ERROR_SUCCESS;
    } catch (const Corrupt&) {
        c.tree = emptyDocument();
        c.status = ERROR_REGISTRY_CORRUPT;
    }
    c.valid = true;
    return c.status;
}

// Writes the cached tree as the new file. Called with the lock file held exclusively.
long save(RegistryCache& c, const fs::path& file) {
    const std::string text = serialize(c.tree);
    fs::path tmp = file;
    tmp += ".tmp";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return ERROR_REGISTRY_IO_FAILED;
    if (!writeAll(fd, text) || ::rename(tmp.c_str(), file.c_str()) != 0) {
        ::close(fd);
        ::unlink(tmp.c_str());
        return ERROR_REGISTRY_IO_FAILED;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        c.valid = false;  // written; the next call reads it back
        return ERROR_SUCCESS;
    }
    c.hold(fd, st);
    c.status = ERROR_SUCCESS;
    c.valid = true;
    return ERROR_SUCCESS;
}

template <class F>
long readTree(RegistryCache& c, const fs::path& file, F&& f) {
    try {
        std::lock_guard<std::mutex> guard(c.mutex);
        // Without a lock file (a lab folder that is read-only or gone) reading is still safe:
        // writers replace the file whole.
        LockFile lock(file, false);
        const long rc = refresh(c, file);
        if (rc != ERROR_SUCCESS) return rc;
        return f(static_cast<const Node&>(c.tree));
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        return ERROR_REGISTRY_IO_FAILED;
    }
}

// f changes the tree and says whether it did; only then is the file written.
template <class F>
long changeTree(RegistryCache& c, const fs::path& file, F&& f) {
    try {
        std::lock_guard<std::mutex> guard(c.mutex);
        try {
            std::error_code ec;
            if (file.has_parent_path()) fs::create_directories(file.parent_path(), ec);
            LockFile lock(file, true);
            if (!lock.locked()) return ERROR_REGISTRY_IO_FAILED;
            // Re-read under the lock: another process may have changed the file since.
            long rc = refresh(c, file);
            if (rc != ERROR_SUCCESS) return rc;  // a corrupt file is refused, never written over
            bool changed = false;
            rc = f(c.tree, changed);
            if (!changed) return rc;
            const long saved = save(c, file);
            if (saved != ERROR_SUCCESS) {
                c.valid = false;  // the cached tree holds a change the file does not
                return saved;
            }
            return rc;
        } catch (...) {
            c.valid = false;
            throw;
        }
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        return ERROR_REGISTRY_IO_FAILED;
    }
}

}  // namespace

struct Registry::State : RegistryCache {};

Registry::Registry(fs::path file) : file_(std::move(file)), state_(std::make_unique<State>()) {}
Registry::~Registry() = default;

long Registry::keyExists(const std::string& path) const {
    std::vector<std::string> parts;
    if (!parsePath(path, &parts)) return ERROR_INVALID_PARAMETER;
    return readTree(*state_, file_, [&](const Node& doc) {
        return findKey(doc, parts, parts.size()) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
}

long Registry::createKey(const std::string& path, bool* created) {
    if (created) *created = false;
    std::vector<std::string> parts;
    if (!parsePath(path, &parts)) return ERROR_INVALID_PARAMETER;
    bool made = false;
    const long rc = changeTree(*state_, file_, [&](Node& doc, bool& changed) {
        Node* n = &doc;
        for (const std::string& part : parts) {
            auto it = n->keys.find(part);
            made = it == n->keys.end();
            if (made) {
                it = n->keys.emplace(part, std::make_unique<Node>()).first;
                changed = true;
            }
            n = it->second.get();
        }
        return ERROR_SUCCESS;
    });
    if (rc == ERROR_SUCCESS && created) *created = made;
    return rc;
}

long Registry::getValue(const std::string& path, const std::string& name, RegValue* out) const {
    std::vector<std::string> parts;
    if (!out) return ERROR_INVALID_PARAMETER;
    if (!parsePath(path, &parts)) return ERROR_INVALID_PARAMETER;
    const std::string valueName = normalizeName(name);
    return readTree(*state_, file_, [&](const Node& doc) {
        const Node* key = findKey(doc, parts, parts.size());
        if (!key) return ERROR_FILE_NOT_FOUND;
        auto it = key->values.find(valueName);
        if (it == key->values.end()) return ERROR_FILE_NOT_FOUND;
        *out = it->second;
        return ERROR_SUCCESS;
    });
}

long Registry::setValue(const std::string& path, const std::string& name, const RegValue& value) {
    std::vector<std::string> parts;
    if (!parsePath(path, &parts)) return ERROR_INVALID_PARAMETER;
    const std::string valueName = normalizeName(name);
    if (utf16Length(valueName) > kMaxValueNameChars) return ERROR_INVALID_PARAMETER;
    return changeTree(*state_, file_, [&](Node& doc, bool& changed) {
        Node* key = findKey(doc, parts, parts.size());
        if (!key) return ERROR_FILE_NOT_FOUND;
        auto it = key->values.find(valueName);
        if (it == key->values.end()) {
            key->values.emplace(valueName, value);
            changed = true;
        } else if (it->second.type != value.type || it->second.data != value.data) {
            it->second = value;  // the name keeps the spelling it was created with
            changed = true;
        }
        return ERROR_SUCCESS;
    });
}

long Registry::deleteValue(const std::string& path, const std::string& name) {
    std::vector<std::string> parts;
    if (!parsePath(path, &parts)) return ERROR_INVALID_PARAMETER;
    const std::string valueName = normalizeName(name);
    return changeTree(*state_, file_, [&](Node& doc, bool& changed) {
        Node* key = findKey(doc, parts, parts.size());
        if (!key) return ERROR_FILE_NOT_FOUND;
        if (key->values.erase(valueName) == 0) return ERROR_FILE_NOT_FOUND;
        changed = true;
        return ERROR_SUCCESS;
    });
}

long Registry::deleteKey(const std::string& path) {
    std::vector<std::string> parts;
    if (!parsePath(path, &parts)) return ERROR_INVALID_PARAMETER;
    if (parts.size() == 1) return ERROR_ACCESS_DENIED;  // a root cannot be deleted
    return changeTree(*state_, file_, [&](Node& doc, bool& changed) {
        Node* parent = findKey(doc, parts, parts.size() - 1);
        if (!parent) return ERROR_FILE_NOT_FOUND;
        auto it = parent->keys.find(parts.back());
        if (it == parent->keys.end()) return ERROR_FILE_NOT_FOUND;
        if (!it->second->keys.empty()) return ERROR_ACCESS_DENIED;
        parent->keys.erase(it);
        changed = true;
        return ERROR_SUCCESS;
    });
}

long Registry::subKeys(const std::string& path, std::vector<std::string>* out) const {
    std::vector<std::string> parts;
    if (!out) return ERROR_INVALID_PARAMETER;
    out->clear();
    if (!parsePath(path, &parts)) return ERROR_INVALID_PARAMETER;
    return readTree(*state_, file_, [&](const Node& doc) {
        const Node* key = findKey(doc, parts, parts.size());
        if (!key) return ERROR_FILE_NOT_FOUND;
        for (const auto& item : key->keys) out->push_back(item.first);
        return ERROR_SUCCESS;
    });
}

long Registry::values(const std::string& path, std::vector<std::pair<std::string, RegValue>>* out) const {
    std::vector<std::string> parts;
    if (!out) return ERROR_INVALID_PARAMETER;
    out->clear();
    if (!parsePath(path, &parts)) return ERROR_INVALID_PARAMETER;
    return readTree(*state_, file_, [&](const Node& doc) {
        const Node* key = findKey(doc, parts, parts.size());
        if (!key) return ERROR_FILE_NOT_FOUND;
        out->assign(key->values.begin(), key->values.end());
        return ERROR_SUCCESS;
    });
}

}  // namespace lab
