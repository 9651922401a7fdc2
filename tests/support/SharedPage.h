#pragma once

// One object in MAP_SHARED | MAP_ANONYMOUS memory, mapped before fork: the parent and every
// forked child see the same bytes, so processes of a test exchange flags, watermarks and
// counters through it without files or pipes.
//
// Thread safety: T is shared by processes; its fields must be lock-free std::atomic (address
// free) or written by one process only, and read only after a handshake that orders them.

#include <sys/mman.h>

#include <new>
#include <stdexcept>
#include <type_traits>

namespace TestSupport {

template <class T>
class SharedPage {
  public:
    static_assert(std::is_trivially_destructible_v<T>, "children leave with _exit");

    SharedPage() {
        void* p =
            ::mmap(nullptr, sizeof(T), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::runtime_error("SharedPage: mmap failed");
        object_ = new (p) T();
    }
    ~SharedPage() { ::munmap(object_, sizeof(T)); }
    SharedPage(const SharedPage&) = delete;
    SharedPage& operator=(const SharedPage&) = delete;

    T* operator->() const { return object_; }
    T& operator*() const { return *object_; }

  private:
    T* object_ = nullptr;
};

}  // namespace TestSupport
