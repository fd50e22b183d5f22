// Kernel-mode driver images: ELF shared objects that export DriverEntry, loaded as the service
// control manager loads a driver and joined to the stacks of the nodes whose service or filter
// they are.
#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <optional>

#include <map>

#include "hardware_impl.h"
#include "lab/lab.h"
#include "lab/registry.h"

namespace lab {

namespace {

struct LoadedModule {
    void* library = nullptr;
    PDRIVER_OBJECT driver = nullptr;
};

std::mutex& modulesMutex() {
    static auto* m = new std::mutex;
    return *m;
}
std::map<std::string, LoadedModule, NoCaseLess>& modules() {
    static auto* m = new std::map<std::string, LoadedModule, NoCaseLess>;
    return *m;
}

// A copy of the image in the lab's run folder, under a name no other load uses.
std::filesystem::path privateCopy(const std::filesystem::path& image) {
    static std::atomic<uint32_t> counter{0};
    const std::filesystem::path dir = Lab::current().runDir() / "drivers";
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    const std::filesystem::path copy =
        dir / (image.stem().string() + "." + std::to_string(::getpid()) + "." + std::to_string(counter++) + ".so");
    if (ec || !std::filesystem::copy_file(image, copy, std::filesystem::copy_options::overwrite_existing, ec)) return {};
    return copy;
}

}  // namespace

NTSTATUS Hardware::loadDriver(const std::string& service, const std::filesystem::path& image) {
    {
        std::lock_guard<std::mutex> lock(modulesMutex());
        if (modules().count(service)) return STATUS_OBJECT_NAME_COLLISION;
    }
    std::error_code ec;
    if (!std::filesystem::is_regular_file(image, ec)) return STATUS_OBJECT_NAME_NOT_FOUND;
    // The system reads a driver's image into memory and lets go of the file, so the file can be
    // written again while the driver runs (a program rewrites it at every start). Loading a
    // private copy gives the same: the copy is mapped, the file stays free.
    const std::filesystem::path copy = privateCopy(image);
    if (copy.empty()) return STATUS_INSUFFICIENT_RESOURCES;
    void* library = ::dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    std::filesystem::remove(copy, ec);
    if (!library) return STATUS_INVALID_IMAGE_FORMAT;
    auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(::dlsym(library, "DriverEntry"));
    if (!entry) {
        ::dlclose(library);
        return STATUS_PROCEDURE_NOT_FOUND;
    }
    const std::string path = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + service;
    std::u16string wide(path.begin(), path.end());
    UNICODE_STRING registryPath{static_cast<USHORT>(wide.size() * 2), static_cast<USHORT>(wide.size() * 2), wide.data()};
    PDRIVER_OBJECT driver =
        winsim::kernel::createDriver(u"\\Driver\\" + std::u16string(service.begin(), service.end()), entry, &registryPath);
    if (!driver) {
        ::dlclose(library);
        return STATUS_UNSUCCESSFUL;
    }
    {
        std::lock_guard<std::mutex> lock(modulesMutex());
        modules()[service] = LoadedModule{library, driver};
    }
    registerDriverObject(service, driver);
    return STATUS_SUCCESS;
}

NTSTATUS Hardware::unloadDriver(const std::string& service) {
    LoadedModule module;
    {
        std::lock_guard<std::mutex> lock(modulesMutex());
        auto it = modules().find(service);
        if (it == modules().end()) return STATUS_OBJECT_NAME_NOT_FOUND;
        module = it->second;
    }
    {
        Impl::Lock lock(*impl_);
        for (const auto& n : impl_->nodes)
            if (n && n->started)
                for (PDEVICE_OBJECT d : n->devices)
                    if (d->DriverObject == module.driver) return STATUS_INVALID_DEVICE_STATE;
    }
    if (!module.driver->DriverUnload) return STATUS_INVALID_DEVICE_REQUEST;
    registerDriverObject(service, nullptr);
    module.driver->DriverUnload(module.driver);
    std::lock_guard<std::mutex> lock(modulesMutex());
    modules().erase(service);
    if (winsim::kernel::liveDevices(module.driver) == 0) {
        ::dlclose(module.library);
        winsim::kernel::destroyDriver(module.driver);
    } else {
        // A driver whose devices outlive its unload, or are still referenced after their
        // deletion (a work item whose routine is finishing), keeps its code and its object:
        // they may still be called.
        static auto* retired = new std::vector<LoadedModule>;
        retired->push_back(module);
    }
    return STATUS_SUCCESS;
}

}  // namespace lab

namespace lab {

Hardware::ServiceState Hardware::serviceState(const std::string& service) {
    {
        std::lock_guard<std::mutex> lock(modulesMutex());
        if (modules().count(service)) return ServiceState::Loaded;
    }
    Impl::Lock lock(*impl_);
    for (const auto& n : impl_->nodes) {
        if (!n || !n->started) continue;
        for (uint32_t p : {static_cast<uint32_t>(SPDRP_SERVICE), static_cast<uint32_t>(SPDRP_UPPERFILTERS)}) {
            auto v = n->properties.find(p);
            if (v == n->properties.end()) continue;
            const std::string all(v->second.data.begin(), v->second.data.end());
            for (size_t at = 0; at < all.size() && all[at];) {
                const size_t end = std::min(all.find('\0', at), all.size());
                if (equalNoCase(all.substr(at, end - at), service)) return ServiceState::Builtin;
                at = end + 1;
            }
        }
    }
    return ServiceState::Stopped;
}

namespace {

// The file of a driver's ImagePath as the service control manager finds it on the system drive:
// "\??\C:\…", "\SystemRoot\…", "%SystemRoot%\…", "C:\…", or a path relative to the Windows
// folder ("System32\Drivers\X.SYS"). Every component is found without regard to case.
std::optional<std::filesystem::path> driverFile(Lab& lab, std::string image) {
    auto strip = [&](const std::string& prefix) {
        if (image.size() >= prefix.size() && equalNoCase(image.substr(0, prefix.size()), prefix)) {
            image = image.substr(prefix.size());
            return true;
        }
        return false;
    };
    std::filesystem::path at;
    strip("\\??\\");
    if (strip("C:\\")) {
        at = lab.driveC();
    } else if (strip("\\SystemRoot\\") || strip("%SystemRoot%\\") || image.find(':') == std::string::npos) {
        at = lab.windowsFolder();
    } else {
        return std::nullopt;  // another drive: no driver is loaded from there
    }
    for (size_t pos = 0; pos < image.size();) {
        size_t end = image.find('\\', pos);
        if (end == std::string::npos) end = image.size();
        const std::string part = image.substr(pos, end - pos);
        pos = end + 1;
        if (part.empty()) continue;
        std::error_code ec;
        std::filesystem::path found;
        for (const auto& e : std::filesystem::directory_iterator(at, ec))
            if (equalNoCase(e.path().filename().string(), part)) found = e.path();
        if (found.empty()) return std::nullopt;
        at = found;
    }
    return at;
}

}  // namespace

NTSTATUS Hardware::loadRegisteredDriver(const std::string& service) {
    {
        // Asked at every start of a device the service drives: once loaded, nothing to read.
        std::lock_guard<std::mutex> lock(modulesMutex());
        if (modules().count(service)) return STATUS_OBJECT_NAME_COLLISION;
    }
    const std::string key = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\" + service;
    RegValue type, image;
    if (lab_.registry().getValue(key, "Type", &type) != 0 || lab_.registry().getValue(key, "ImagePath", &image) != 0)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    uint32_t kind = 0;
    if (type.data.size() == 4) std::memcpy(&kind, type.data.data(), 4);
    if (kind != 1 /*SERVICE_KERNEL_DRIVER*/) return STATUS_OBJECT_NAME_NOT_FOUND;
    // REG_SZ or REG_EXPAND_SZ text, UTF-8 here, with its terminator.
    std::string text(image.data.begin(), image.data.end());
    text = text.substr(0, text.find('\0'));
    const auto file = driverFile(lab_, text);
    if (!file) return STATUS_OBJECT_NAME_NOT_FOUND;
    return loadDriver(service, *file);
}

std::vector<std::string> Hardware::builtinServices() {
    std::vector<std::string> out;
    {
        Impl::Lock lock(*impl_);
        for (const auto& [name, driver] : impl_->builtins) out.push_back(name);
    }
    std::lock_guard<std::mutex> lock(modulesMutex());
    std::erase_if(out, [](const std::string& name) { return modules().count(name) != 0; });
    return out;
}

bool Hardware::canUnload(const std::string& service) {
    std::lock_guard<std::mutex> lock(modulesMutex());
    auto it = modules().find(service);
    return it != modules().end() && it->second.driver->DriverUnload;
}

}  // namespace lab
