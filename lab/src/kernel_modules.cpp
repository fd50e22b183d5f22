// Kernel-mode driver images: ELF shared objects that export DriverEntry, loaded as the service
// control manager loads a driver and joined to the stacks of the nodes whose service or filter
// they are.
#include <dlfcn.h>

#include <map>

#include "hardware_impl.h"

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

}  // namespace

NTSTATUS Hardware::loadDriver(const std::string& service, const std::filesystem::path& image) {
    {
        std::lock_guard<std::mutex> lock(modulesMutex());
        if (modules().count(service)) return STATUS_OBJECT_NAME_COLLISION;
    }
    std::error_code ec;
    if (!std::filesystem::is_regular_file(image, ec)) return STATUS_OBJECT_NAME_NOT_FOUND;
    void* library = ::dlopen(image.c_str(), RTLD_NOW | RTLD_LOCAL);
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
    registerDriverObject(service, nullptr);
    if (module.driver->DriverUnload) module.driver->DriverUnload(module.driver);
    // A driver whose devices outlive its unload keeps its code: they may still be called.
    if (!module.driver->DeviceObject) ::dlclose(module.library);
    std::lock_guard<std::mutex> lock(modulesMutex());
    modules().erase(service);
    return STATUS_SUCCESS;
}

}  // namespace lab
