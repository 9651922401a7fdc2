#pragma once

#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "contracts/Basalt/Exception.h"

namespace Kiln {

// A process-wide set of static objects looked up by name, kept in registration order. The
// objects are not owned and must outlive the registry. Guarded by a mutex: any thread may add
// and look up. Hold one as a function-local static, so that objects registered by static
// initialisers of other translation units find it constructed.
template <class T>
class NameRegistry {
  public:
    // Adds `item` under `name` and runs `onAdded()` under the lock (before any other thread can
    // find it). Adding the same item again does nothing; another item under a taken name raises
    // a Basalt assertion whose text is `clash`.
    template <class OnAdded>
    void add(std::string_view name, const T* item, const char* clash, OnAdded onAdded) {
        std::lock_guard lock(mutex_);
        auto [it, added] = byName_.emplace(std::string(name), item);
        if (!added) {
            if (it->second != item) {
                Basalt::debugAndThrowAssertException(clash, __FILE__, __LINE__, __func__);
            }
            return;
        }
        onAdded();
        inOrder_.push_back(item);
    }
    void add(std::string_view name, const T* item, const char* clash) {
        add(name, item, clash, [] {});
    }

    // Null when nothing has that name.
    const T* find(std::string_view name) const {
        std::lock_guard lock(mutex_);
        auto it = byName_.find(name);
        return it == byName_.end() ? nullptr : it->second;
    }

    std::vector<const T*> all() const {
        std::lock_guard lock(mutex_);
        return inOrder_;
    }

  private:
    mutable std::mutex mutex_;
    std::map<std::string, const T*, std::less<>> byName_;
    std::vector<const T*> inOrder_;
};

}  // namespace Kiln
