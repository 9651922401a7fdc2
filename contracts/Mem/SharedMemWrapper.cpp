#include "contracts/Mem/SharedMemWrapper.h"

#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "contracts/Kiln/System.h"
#include "contracts/Mem/Local.h"

namespace Mem {

namespace {
const std::size_t kPageSize = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));

std::size_t pageUp(std::size_t n) { return (n + kPageSize - 1) / kPageSize * kPageSize; }
}  // namespace

SharedMemWrapper::SharedMemWrapper(std::shared_ptr<Basalt::Platform::DebugHandler> debug,
                                   const RootPath& rootPath, std::string fileName, bool writer)
    : debug_(std::move(debug)), path_(rootPath.filePath(fileName)), writer_(writer) {
    if (rootPath.local()) {
        local_ = std::make_unique<Local>(debug_, path_);
        local_->useHeapIs(rootPath.localHeap());
        if (rootPath.localHeapCheck()) local_->enableHeapCheck();
    }
}

SharedMemWrapper::~SharedMemWrapper() { detach(); }

bool SharedMemWrapper::fail(const std::string& what) {
    reason_ = what + ": " + std::strerror(errno);
    BASALT_TRACE(debug_, 1, "SharedMemWrapper " << path_ << " " << reason_);
    return false;
}

std::size_t SharedMemWrapper::fileSize() const {
    if (local_) return local_->size();
    struct stat st;
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) return 0;
    return static_cast<std::size_t>(st.st_size);
}

// Allocates every block of [0, size) (also the blocks of a punched hole), extending the file when
// it is shorter. Never shortens the file.
bool SharedMemWrapper::ensureFileSize(std::size_t size) {
    if (size == 0) return true;
    const int rc = ::posix_fallocate(fd_, 0, static_cast<off_t>(size));
    if (rc != 0) {
        errno = rc;
        return fail("posix_fallocate to " + std::to_string(size) + " bytes");
    }
    return true;
}

void* SharedMemWrapper::attach(std::size_t size, Mode mode, void* address) {
    detach();
    reason_.clear();
    mode_ = mode;
    if (local_) {
        // Private memory never existed before this attach: memSize() stays 0.
        memSize_ = 0;
        base_ = local_->attach(size, Mode::readWrite);
        mappedSize_ = base_ ? size : 0;
        if (base_ == nullptr) reason_ = local_->reason();
        return base_;
    }
    const bool rw = mode == Mode::readWrite;
    if (rw && !writer_) {
        errno = EPERM;
        fail("read-write mapping by a reader");
        return nullptr;
    }
    int flags = (rw ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_CLOEXEC;
    fd_ = ::open(path_.c_str(), flags);
    bool created = false;
    if (fd_ < 0 && errno == ENOENT && rw) {
        fd_ = ::open(path_.c_str(), flags | O_CREAT | O_EXCL, 0644);
        created = fd_ >= 0;
        if (fd_ < 0 && errno == EEXIST) fd_ = ::open(path_.c_str(), flags);
    }
    if (fd_ < 0) {
        fail("open");
        return nullptr;
    }
    struct stat st;
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (errno == 0) errno = EINVAL;
        fail("not a regular file");
        detach();
        return nullptr;
    }
    memSize_ = created ? 0 : static_cast<std::size_t>(st.st_size);
    std::size_t length = size;
    if (rw) {
        if (!ensureFileSize(size)) {
            detach();
            return nullptr;
        }
        // An existing larger file is mapped whole, so its header can be checked against it.
        length = std::max(size, static_cast<std::size_t>(st.st_size));
    } else {
        if (static_cast<std::size_t>(st.st_size) < size || st.st_size == 0) {
            errno = ENODATA;
            fail("file has " + std::to_string(st.st_size) + " bytes, wanted " +
                 std::to_string(size));
            detach();
            return nullptr;
        }
        length = static_cast<std::size_t>(st.st_size);
    }
    const bool copy = mode == Mode::privateCopy;
    void* p = ::mmap(address, length, rw || copy ? PROT_READ | PROT_WRITE : PROT_READ,
                     copy ? MAP_PRIVATE : MAP_SHARED, fd_, 0);
    if (p == MAP_FAILED) {
        fail("mmap of " + std::to_string(length) + " bytes");
        detach();
        return nullptr;
    }
    base_ = p;
    mappedSize_ = length;
    return base_;
}

void* SharedMemWrapper::resize(std::size_t size) {
    reason_.clear();
    if (base_ == nullptr) {
        errno = EBADF;
        fail("resize while detached");
        return nullptr;
    }
    if (size == 0) {
        errno = EINVAL;
        fail("resize to 0 bytes");
        return nullptr;
    }
    if (local_) {
        void* p = local_->resize(size);
        if (p == nullptr) {
            reason_ = local_->reason();
            return nullptr;
        }
        base_ = p;
        mappedSize_ = size;
        return base_;
    }
    const bool rw = mode_ == Mode::readWrite;
    if (rw && size > mappedSize_ && !ensureFileSize(size)) return nullptr;
    if (!rw && fileSize() < size) {
        errno = ENODATA;
        fail("file has " + std::to_string(fileSize()) + " bytes, wanted " + std::to_string(size));
        return nullptr;
    }
    void* p = ::mremap(base_, mappedSize_, size, MREMAP_MAYMOVE);
    if (p == MAP_FAILED) {
        fail("mremap from " + std::to_string(mappedSize_) + " to " + std::to_string(size) +
             " bytes");
        return nullptr;
    }
    if (rw && size < mappedSize_) {
        // The file keeps its size and the tail stays backed for the grace: readers may still
        // walk it under the larger count they read before the writer published the smaller one.
        const std::size_t from = pageUp(size);
        if (from < fileSize()) {
            pendingFrom_ = pendingFrom_ == 0 ? from : std::min(pendingFrom_, from);
            pendingSince_ = Kiln::System::monotonicTime();
        }
    } else if (rw && pendingFrom_ != 0 && pageUp(size) > pendingFrom_) {
        // The growth lives in what was pending: only what lies beyond it may still go.
        pendingFrom_ = pageUp(size) < fileSize() ? pageUp(size) : 0;
    }
    base_ = p;
    mappedSize_ = size;
    return base_;
}

bool SharedMemWrapper::includeInCoreDump() {
    if (base_ == nullptr) return false;
    bool ok = true;
    if (!local_ && ::madvise(base_, mappedSize_, MADV_DODUMP) != 0)
        ok = fail("madvise(MADV_DODUMP)");
    constexpr unsigned long fileBackedShared = 0x8;
    const int fd = ::open("/proc/self/coredump_filter", O_RDWR | O_CLOEXEC);
    char text[32] = {};
    const ssize_t n = fd < 0 ? -1 : ::read(fd, text, sizeof text - 1);
    if (n > 0) {
        const unsigned long filter = std::strtoul(text, nullptr, 16) | fileBackedShared;
        const int length = std::snprintf(text, sizeof text, "0x%lx", filter);
        if (::pwrite(fd, text, static_cast<std::size_t>(length), 0) != length) {
            ok = fail("write of /proc/self/coredump_filter");
        }
    } else {
        ok = fail("read of /proc/self/coredump_filter");
    }
    if (fd >= 0) ::close(fd);
    return ok;
}

bool SharedMemWrapper::releasePendingTail() {
    if (fd_ < 0) return false;
    if (Kiln::System::monotonicTime() - pendingSince_ < releaseGrace_) return false;
    const std::size_t from = pendingFrom_;
    // Whole pages: a punch that ends inside the last page would only zero that part of it.
    const std::size_t end = pageUp(fileSize());
    pendingFrom_ = 0;
    // Never below the writer's own mapping: that part is live.
    if (from < pageUp(mappedSize_) || from >= end) return false;
    if (::fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(from),
                    static_cast<off_t>(end - from)) != 0) {
        BASALT_TRACE(debug_, 1,
                     "SharedMemWrapper " << path_ << " cannot release the tail from " << from
                                         << ": " << std::strerror(errno));
        return false;
    }
    BASALT_TRACE(
        debug_, 5,
        "SharedMemWrapper " << path_ << " released " << (end - from) << " bytes from " << from);
    return true;
}

void SharedMemWrapper::detach() {
    if (local_) {
        local_->detach();
        base_ = nullptr;
        mappedSize_ = 0;
        return;
    }
    if (base_ != nullptr) ::munmap(base_, mappedSize_);
    if (fd_ >= 0) ::close(fd_);
    base_ = nullptr;
    fd_ = -1;
    mappedSize_ = 0;
    pendingFrom_ = 0;
}

}  // namespace Mem
