#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "contracts/Basalt/DebugHandler.h"
#include "contracts/Mem/RootPath.h"

namespace Mem {

class Local;

// One named file of a table, mapped MAP_SHARED: read-write for the table's writer, PROT_READ for
// readers (which never write, create, grow or shrink a table file).
//
// Growth allocates the file's blocks with posix_fallocate, so a full filesystem is a failed
// resize (null, with a reason), never a SIGBUS on a later store. Shrinking never cuts the file:
// another process may still walk its older, larger mapping, and a page past the end of a file
// faults. The writer remaps its own view smaller and records the tail [page above the new size,
// end of file) as pending; releaseTail() punches it (FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE)
// only once it has been pending for the release grace on the process's monotonic clock. Until
// then a reader still inside an operation begun under the larger size reads the old bytes: on
// tmpfs a read of a hole must allocate a page, which is a SIGBUS when the filesystem is full. A
// growth takes back what it covers of the pending tail (punching it later would destroy live
// data), and an attach that maps a larger existing file treats everything beyond the size it was
// asked for as pending once the caller shrinks the mapping to what it needs.
//
// For a local table (RootPath::local()) there is no file: the same calls manage zero-filled private
// memory (Mem::Local), so a process-private table runs the same code as a shared one.
//
// Thread safety: one thread uses an instance. Files are opened O_NOFOLLOW, created 0644.
class SharedMemWrapper {
  public:
    // privateCopy: the file opened read-only and mapped copy-on-write (MAP_PRIVATE): stores
    // change this process's pages only, never the file (a trial repair).
    enum class Mode { readWrite, readOnly, privateCopy };

    // `writer` selects the default mode and allows creating the file.
    SharedMemWrapper(std::shared_ptr<Basalt::Platform::DebugHandler> debug,
                     const RootPath& rootPath, std::string fileName, bool writer);
    ~SharedMemWrapper();
    SharedMemWrapper(const SharedMemWrapper&) = delete;
    SharedMemWrapper& operator=(const SharedMemWrapper&) = delete;

    // Maps the file with at least `size` bytes and returns the base, or null (see reason()).
    // A writer creates a missing file, grows a smaller one to `size` and maps a larger one whole;
    // a reader maps the file as it is (its whole current size) and fails when it is missing or
    // smaller than `size`.
    // `address` is a placement hint only.
    void* attach(std::size_t size, Mode mode, void* address = nullptr);
    void* attach(std::size_t size) {
        return attach(size, writer_ ? Mode::readWrite : Mode::readOnly);
    }
    // Remaps to `size` bytes and returns the (possibly moved) base, or null with the old mapping
    // kept (see reason()). A writer grows the file first, or records the released tail as
    // pending (see releaseTail()).
    void* resize(std::size_t size);
    // Unmaps and closes; the file stays. A pending tail stays backed (the next writer's attach
    // finds it beyond the size it needs and releases it after the grace).
    void detach();

    // How long a shrunk tail stays backed before releaseTail() may punch it (seconds; 0 releases
    // at the first releaseTail() after the shrink).
    void releaseGraceIs(double seconds) { releaseGrace_ = seconds; }
    double releaseGrace() const { return releaseGrace_; }
    // Punches the pending tail when it has been pending for the release grace; true when it
    // did. A failed punch is traced and forgotten (the memory stays allocated, nothing breaks).
    bool releaseTail() { return pendingFrom_ != 0 && releasePendingTail(); }
    // Asks Linux to put this mapping into the process's core dump: MADV_DODUMP on the mapping, and
    // bit 3 (file-backed shared mappings) set in /proc/self/coredump_filter, without which a
    // MAP_SHARED file mapping is left out. False (traced) when either fails.
    bool includeInCoreDump();
    // The first byte of the pending tail (it runs to the end of the file), 0 when none.
    std::size_t pendingTailFrom() const { return pendingFrom_; }

    // The file's size when attach() found it: 0 when the file did not exist before.
    std::size_t memSize() const { return memSize_; }
    // The file's current size on disk (0 when detached or on error).
    std::size_t fileSize() const;
    std::size_t mappedSize() const { return mappedSize_; }
    void* base() const { return base_; }
    bool attached() const { return base_ != nullptr; }
    Mode mode() const { return mode_; }
    std::string getFilename() const { return path_; }
    // Why the last attach or resize failed.
    const std::string& reason() const { return reason_; }

  private:
    bool fail(const std::string& what);
    bool releasePendingTail();
    bool ensureFileSize(std::size_t size);

    std::shared_ptr<Basalt::Platform::DebugHandler> debug_;
    std::string path_;
    bool writer_;
    Mode mode_ = Mode::readOnly;
    int fd_ = -1;
    void* base_ = nullptr;
    std::size_t mappedSize_ = 0;
    std::size_t memSize_ = 0;
    std::string reason_;
    std::unique_ptr<Local> local_;  // set for a local table
    double releaseGrace_ = 1.0;
    std::size_t pendingFrom_ = 0;  // 0: no tail pending
    double pendingSince_ = 0;      // monotonic time of the shrink that last extended the tail
};

}  // namespace Mem
