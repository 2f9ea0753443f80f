// Opaque handles for host-side objects: numbers from a range of their own, never reused, so a
// stale or foreign handle is recognised without being dereferenced.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace bw::sim::md {

template <class T>
class HandleTable {
  public:
    explicit HandleTable(uintptr_t base) : next_(base) {}

    uintptr_t Add(std::shared_ptr<T> object) {
        std::lock_guard<std::mutex> lock(mutex_);
        next_ += 16;  // aligned like a pointer, for hosts that keep handles in pointer fields
        objects_.emplace(next_, std::move(object));
        return next_;
    }

    std::shared_ptr<T> Find(const void* handle) const {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = objects_.find(reinterpret_cast<uintptr_t>(handle));
        return found != objects_.end() ? found->second : nullptr;
    }

    std::shared_ptr<T> Remove(const void* handle) {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = objects_.find(reinterpret_cast<uintptr_t>(handle));
        if (found == objects_.end()) return nullptr;
        std::shared_ptr<T> object = std::move(found->second);
        objects_.erase(found);
        return object;
    }

  private:
    mutable std::mutex mutex_;
    uintptr_t next_;
    std::unordered_map<uintptr_t, std::shared_ptr<T>> objects_;
};

}  // namespace bw::sim::md
