#include "contracts/Mem/Local.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "contracts/Basalt/Exception.h"

namespace Mem {

namespace {

const std::size_t kPageSize = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));

// Rounded up to whole pages, at least one; 0 when that overflows.
std::size_t pagesFor(std::size_t n) {
    if (n == 0) n = 1;
    if (n > SIZE_MAX - kPageSize) return 0;
    return (n + kPageSize - 1) / kPageSize * kPageSize;
}

}  // namespace

Local::Local(std::shared_ptr<Basalt::Platform::DebugHandler> debug, std::string name)
    : debug_(std::move(debug)), name_(std::move(name)) {}

Local::~Local() { detach(); }

void* Local::fail(const std::string& why) {
    reason_ = why;
    BASALT_TRACE(debug_, 1, "Local " << name_ << " " << reason_);
    return nullptr;
}

void Local::writeGuards() {
    if (!heapLayoutChecked_) return;
    std::memset(allocation_, kGuardByte, kGuardBytes);
    std::memset(static_cast<unsigned char*>(base_) + size_, kGuardByte, kGuardBytes);
}

bool Local::heapIntact() const {
    if (base_ == nullptr || !heapLayoutChecked_) return true;
    const auto* front = static_cast<const unsigned char*>(allocation_);
    const auto* rear = static_cast<const unsigned char*>(base_) + size_;
    for (std::size_t i = 0; i < kGuardBytes; ++i) {
        if (front[i] != kGuardByte || rear[i] != kGuardByte) return false;
    }
    return true;
}

void* Local::attach(std::size_t size, Mode mode) {
    detach();
    reason_.clear();
    mode_ = mode;
    if (useHeap_) {
        if (mode == Mode::readOnly) return fail("read-only heap memory is not supported");
        const std::size_t g = heapCheck_ ? kGuardBytes : 0;
        const std::size_t usable = size == 0 ? 1 : size;
        if (usable > SIZE_MAX - 2 * g) return fail("size " + std::to_string(size) + " too large");
        void* p = std::calloc(1, usable + 2 * g);
        if (p == nullptr) return fail("calloc of " + std::to_string(usable + 2 * g) + " bytes");
        heapLayout_ = true;
        heapLayoutChecked_ = heapCheck_;
        allocation_ = p;
        base_ = static_cast<unsigned char*>(p) + g;
        size_ = size;
        capacity_ = usable;
        writeGuards();
        return base_;
    }
    const std::size_t length = pagesFor(size);
    if (length == 0) return fail("size " + std::to_string(size) + " too large");
    void* p = ::mmap(nullptr, length, mode == Mode::readOnly ? PROT_READ : PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        return fail("mmap of " + std::to_string(length) + " bytes: " + std::strerror(errno));
    }
    heapLayout_ = false;
    heapLayoutChecked_ = false;
    allocation_ = p;
    base_ = p;
    size_ = size;
    capacity_ = length;
    return base_;
}

void* Local::resize(std::size_t size) {
    reason_.clear();
    if (base_ == nullptr) return fail("resize while detached");
    if (heapLayout_) {
        if (!heapIntact()) {
            Basalt::CorruptionDetectedException::throwException(
                "Local::resize() " + name_ + " heap guard bytes overwritten (size " +
                std::to_string(size_) + ")");
        }
        const std::size_t g = guard();
        const std::size_t usable = size == 0 ? 1 : size;
        if (usable > SIZE_MAX - 2 * g) return fail("size " + std::to_string(size) + " too large");
        void* p = std::realloc(allocation_, usable + 2 * g);
        if (p == nullptr) return fail("realloc to " + std::to_string(usable + 2 * g) + " bytes");
        allocation_ = p;
        base_ = static_cast<unsigned char*>(p) + g;
        // realloc leaves grown bytes indeterminate (and a former rear guard lies among them).
        if (size > size_) std::memset(static_cast<unsigned char*>(base_) + size_, 0, size - size_);
        size_ = size;
        capacity_ = usable;
        writeGuards();
        return base_;
    }
    const std::size_t length = pagesFor(size);
    if (length == 0) return fail("size " + std::to_string(size) + " too large");
    const std::size_t oldCapacity = capacity_;
    if (length != capacity_) {
        void* p = ::mremap(base_, capacity_, length, MREMAP_MAYMOVE);
        if (p == MAP_FAILED) {
            return fail("mremap from " + std::to_string(capacity_) + " to " +
                        std::to_string(length) + " bytes: " + std::strerror(errno));
        }
        allocation_ = p;
        base_ = p;
        capacity_ = length;
    }
    // Pages added by mremap are new zero pages; bytes of the pages kept beyond the old size may
    // hold what an earlier shrink left behind. (A read-only mapping was never written.)
    const std::size_t keptEnd = size < oldCapacity ? size : oldCapacity;
    if (mode_ == Mode::readWrite && keptEnd > size_) {
        std::memset(static_cast<unsigned char*>(base_) + size_, 0, keptEnd - size_);
    }
    size_ = size;
    return base_;
}

void Local::detach() {
    if (base_ == nullptr) return;
    if (heapLayout_) {
        if (!heapIntact()) {
            BASALT_TRACE(debug_, 0,
                         "Local::detach() " << name_ << " heap guard bytes overwritten (size "
                                            << size_ << ")");
        }
        std::free(allocation_);
    } else {
        ::munmap(allocation_, capacity_);
    }
    allocation_ = nullptr;
    base_ = nullptr;
    size_ = 0;
    capacity_ = 0;
}

}  // namespace Mem
