// Device I/O on the tree: opening device paths, handles, and requests into node stacks.
#include "hardware_impl.h"

using nlohmann::json;

namespace lab {

// ---- open handles --------------------------------------------------------------------------------

DeviceFile::DeviceFile(Hardware& hw, std::shared_ptr<DevNode> node, uint32_t access)
    : hw_(hw), node_(std::move(node)), access_(access) {
    ++node_->openHandles;
}

DeviceFile::~DeviceFile() {
    std::vector<std::shared_ptr<Driver>> stack;
    {
        Hardware::Impl::Lock lock(*hw_.impl_);
        if (node_->started && node_->generation == generation_) stack = node_->stack;
    }
    if (!stack.empty()) {
        DriverContext ctx{hw_, node_->devInst, stack, stack.size() - 1};
        stack.back()->cleanup(ctx, *this);
    }
    --node_->openHandles;
}

DevInst DeviceFile::devInst() const { return node_->devInst; }
bool DeviceFile::canRead() const { return access_ & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA); }
bool DeviceFile::canWrite() const { return access_ & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA); }

std::shared_ptr<DeviceFile> Hardware::open(const std::string& path, uint32_t access, uint32_t* error) {
    refresh();
    Impl::Lock lock(*impl_);
    *error = ERROR_FILE_NOT_FOUND;
    if (path.size() < 5 || (path.compare(0, 4, "\\\\.\\") != 0 && path.compare(0, 4, "\\\\?\\") != 0)) return nullptr;
    const std::string rest = path.substr(4);
    std::shared_ptr<DevNode> n;
    if (rest.size() == 2 && rest[1] == ':' && std::isalpha(static_cast<unsigned char>(rest[0]))) {
        auto m = impl_->mounts.find(static_cast<char>(std::toupper(static_cast<unsigned char>(rest[0]))));
        if (m != impl_->mounts.end()) n = impl_->find(m->second.node);
    } else if (auto l = impl_->links.find(rest); l != impl_->links.end()) {
        n = impl_->find(l->second);
    } else {
        std::string wanted = "\\\\?\\" + rest;
        for (const auto& candidate : impl_->nodes) {
            if (!candidate || candidate->removed) continue;
            for (const auto& itf : candidate->interfaces)
                if (itf.active && equalNoCase(itf.link, wanted)) n = candidate;
        }
    }
    if (!n || !n->present || !n->started) return nullptr;
    auto file = std::make_shared<DeviceFile>(*this, n, access);
    file->generation_ = n->generation;
    *error = 0;
    return file;
}

uint32_t Hardware::control(DeviceFile& file, IoRequest& request) {
    refresh();
    std::vector<std::shared_ptr<Driver>> stack;
    {
        Impl::Lock lock(*impl_);
        const auto& n = file.node();
        if (!n->present || !n->started || n->generation != file.generation_) return ERROR_DEV_NOT_EXIST;
        stack = n->stack;
    }
    DriverContext ctx{*this, file.devInst(), stack, stack.size() - 1};
    return stack.back()->control(ctx, file, request);
}

uint32_t Hardware::forward(DevInst target, DeviceFile& file, IoRequest& request) {
    std::vector<std::shared_ptr<Driver>> stack;
    {
        Impl::Lock lock(*impl_);
        auto n = impl_->find(target);
        if (!n || !n->present || !n->started) return ERROR_DEV_NOT_EXIST;
        stack = n->stack;
    }
    DriverContext ctx{*this, target, stack, stack.size() - 1};
    return stack.back()->control(ctx, file, request);
}

void Hardware::forwardCleanup(DevInst target, DeviceFile& file) {
    std::vector<std::shared_ptr<Driver>> stack;
    {
        Impl::Lock lock(*impl_);
        auto n = impl_->find(target);
        if (!n || !n->started) return;
        stack = n->stack;
    }
    DriverContext ctx{*this, target, stack, stack.size() - 1};
    stack.back()->cleanup(ctx, file);
}

std::vector<MountedDrive> Hardware::drives() {
    refresh();
    Impl::Lock lock(*impl_);
    std::vector<MountedDrive> out;
    for (const auto& [letter, m] : impl_->mounts) out.push_back(m);
    return out;
}

json Hardware::describe(DevInst devInst) {
    std::vector<std::shared_ptr<Driver>> stack;
    {
        Impl::Lock lock(*impl_);
        if (auto n = impl_->find(devInst)) stack = n->stack;
    }
    json j = json::object();
    for (const auto& d : stack) d->describe(j);
    return j;
}

}  // namespace lab
