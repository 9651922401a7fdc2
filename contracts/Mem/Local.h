#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "contracts/Basalt/DebugHandler.h"
#include "contracts/Mem/SharedMemWrapper.h"

namespace Mem {

// Process-private memory of a given size, zero-filled when new: the private twin of
// SharedMemWrapper for process-local tables and shadows (same attach/resize/detach calls, no
// file). Backed by an anonymous private mapping, or by the heap after useHeapIs(true).
//
// - Bytes gained by attach() or resize() read zero, also bytes that an earlier shrink gave up and
//   a later growth takes back; bytes kept by resize() keep their contents.
// - A size of 0 keeps a minimal allocation, so the base stays valid (resize(0) is a successful
//   shrink to nothing, which disabling a shadow relies on).
// - With enableHeapCheck(), heap memory is surrounded by guard bytes; resize() verifies them and
//   raises Basalt::CorruptionDetectedException when a write ran over either end, detach() traces
//   it at level 0. For a mapping the flag is only recorded.
// - Failures return null with a reason(); the old memory is kept.
//
// Thread safety: one thread uses an instance; the memory is this process's alone (a forked child
// gets its own copy-on-write copy).
class Local {
  public:
    using Mode = SharedMemWrapper::Mode;

    explicit Local(std::shared_ptr<Basalt::Platform::DebugHandler> debug = nullptr,
                   std::string name = "local");
    ~Local();
    Local(const Local&) = delete;
    Local& operator=(const Local&) = delete;

    // Heap instead of an anonymous mapping; takes effect at the next attach.
    void useHeapIs(bool useHeap) { useHeap_ = useHeap; }
    bool useHeap() const { return useHeap_; }
    // Guard bytes around heap memory; takes effect at the next attach.
    void enableHeapCheck() { heapCheck_ = true; }
    bool heapCheck() const { return heapCheck_; }

    // Allocates `size` zero bytes (detaching first) and returns the base, or null (see reason()).
    // Mode::readOnly is a read-only mapping of zeros; the heap refuses it.
    void* attach(std::size_t size, Mode mode = Mode::readWrite);
    // Changes the size to `size` and returns the (possibly moved) base, or null with the old
    // memory kept (see reason()).
    void* resize(std::size_t size);
    // Frees the memory.
    void detach();
    // False when heap-check guard bytes were overwritten (always true without the check).
    bool heapIntact() const;

    std::size_t size() const { return size_; }
    void* base() const { return base_; }
    bool attached() const { return base_ != nullptr; }
    // As SharedMemWrapper: the size found at attach (private memory never existed before).
    std::size_t memSize() const { return 0; }
    std::size_t mappedSize() const { return size_; }
    std::string getFilename() const { return name_; }
    const std::string& reason() const { return reason_; }

  private:
    static constexpr std::size_t kGuardBytes = 16;
    static constexpr unsigned char kGuardByte = 0xA5;

    void* fail(const std::string& why);
    std::size_t guard() const { return heapLayoutChecked_ ? kGuardBytes : 0; }
    void writeGuards();

    std::shared_ptr<Basalt::Platform::DebugHandler> debug_;
    std::string name_;
    bool useHeap_ = false;
    bool heapCheck_ = false;
    // How the current memory was obtained (the switches may change while attached).
    bool heapLayout_ = false;
    bool heapLayoutChecked_ = false;
    Mode mode_ = Mode::readWrite;
    void* allocation_ = nullptr;  // the heap block or the mapping
    void* base_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;  // bytes mapped (a mapping) or usable after base_ (the heap)
    std::string reason_;
};

static_assert(alignof(std::max_align_t) <= 16,
              "heap memory behind a 16-byte guard keeps malloc's alignment");

}  // namespace Mem
