// SetupAPI's handles (device information sets, open INF files) are numbers of their own, apart
// from kernel handles and HKEYs: a number is never reused, so a destroyed object's handle stays
// invalid instead of reaching another object.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

namespace winsim {

template <class Object, uintptr_t First>
class SetupHandleTable {
public:
    void* insert(std::shared_ptr<Object> object) {
        std::lock_guard<std::mutex> lock(mutex_);
        const uintptr_t value = next_;
        next_ += 0x10;
        objects_.emplace(value, std::move(object));
        return reinterpret_cast<void*>(value);
    }
    std::shared_ptr<Object> find(const void* h) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = objects_.find(reinterpret_cast<uintptr_t>(h));
        return it == objects_.end() ? nullptr : it->second;
    }
    bool remove(const void* h) {
        std::lock_guard<std::mutex> lock(mutex_);
        return objects_.erase(reinterpret_cast<uintptr_t>(h)) != 0;
    }

private:
    std::mutex mutex_;
    std::map<uintptr_t, std::shared_ptr<Object>> objects_;
    uintptr_t next_ = First;
};

}  // namespace winsim
