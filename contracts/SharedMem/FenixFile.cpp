#include "contracts/SharedMem/FenixFile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "contracts/Basalt/Exception.h"
#include "contracts/Mem/Atomics.h"

namespace SharedMem {

namespace {

// Closes a descriptor and unmaps a mapping when the scope ends.
struct FileView {
    int fd = -1;
    void* base = MAP_FAILED;
    std::size_t length = 0;
    ~FileView() {
        if (base != MAP_FAILED) ::munmap(base, length);
        if (fd >= 0) ::close(fd);
    }
    std::uint32_t& word(std::size_t offset) const {
        return *reinterpret_cast<std::uint32_t*>(static_cast<char*>(base) + offset);
    }
};

std::string errnoText() { return std::strerror(errno); }

}  // namespace

FenixFile::FenixFile(std::shared_ptr<Basalt::Platform::DebugHandler> debug,
                     const Mem::RootPath& rootPath)
    : debug_(std::move(debug)), path_(rootPath.filePath(kFileName)), writer_(rootPath.writer()) {}

FenixId FenixFile::read() const {
    FileView v;
    v.fd = ::open(path_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (v.fd < 0) return FenixId();
    struct stat st;
    if (::fstat(v.fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<std::size_t>(st.st_size) < kFileSize) {
        return FenixId();
    }
    v.length = kFileSize;
    v.base = ::mmap(nullptr, v.length, PROT_READ, MAP_SHARED, v.fd, 0);
    if (v.base == MAP_FAILED) {
        BASALT_TRACE(debug_, 1, "FenixFile::read() cannot map " << path_ << ": " << errnoText());
        return FenixId();
    }
    // Pairs with the release store of the magic in write(): a set magic means the fenix word
    // beside it was stored first.
    if (Mem::Atomics::loadAcquire(v.word(kMagicOffset)) != kMagic) return FenixId();
    return FenixId(Mem::Atomics::loadAcquire(v.word(kFenixOffset)));
}

void FenixFile::write(FenixId id) {
    if (!writer_) {
        Basalt::NoPermissionException::throwException("FenixFile::write() " + path_ +
                                                      " by a reader");
    }
    FileView v;
    v.fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    struct stat st;
    if (v.fd < 0 || ::fstat(v.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        Basalt::InvalidInitializeException::throwException(
            "FenixFile::write() cannot open " + path_ + " as a regular file: " + errnoText());
    }
    if (static_cast<std::size_t>(st.st_size) < kFileSize) {
        // Allocates the blocks now, so a full filesystem is an error here and never a SIGBUS on
        // the store below. A reader sees the shorter size or the full one, never a partial page.
        const int rc = ::posix_fallocate(v.fd, 0, static_cast<off_t>(kFileSize));
        if (rc != 0) {
            Basalt::MemoryResourceException::throwException("FenixFile::write() cannot allocate " +
                                                            path_ + ": " + std::strerror(rc));
        }
    }
    v.length = kFileSize;
    v.base = ::mmap(nullptr, v.length, PROT_READ | PROT_WRITE, MAP_SHARED, v.fd, 0);
    if (v.base == MAP_FAILED) {
        Basalt::MemoryResourceException::throwException("FenixFile::write() cannot map " + path_ +
                                                        ": " + errnoText());
    }
    // One aligned 32-bit store: a concurrent read() loads the old id or the new one. Pairs with
    // the fenix load in read(), after its magic check.
    Mem::Atomics::storeRelease(v.word(kFenixOffset), id.value());
    if (Mem::Atomics::loadRelaxed(v.word(kMagicOffset)) != kMagic) {
        // Publishes a new (or garbled) file only after its fenix word; pairs with the magic's
        // acquire load in read().
        Mem::Atomics::storeRelease(v.word(kMagicOffset), kMagic);
    }
    // Stores through a shared mapping need not update the modification time (tmpfs does not);
    // readers use it as the time of the writer's last attach.
    if (::futimens(v.fd, nullptr) != 0) {
        BASALT_TRACE(debug_, 1, "FenixFile::write() cannot touch " << path_ << ": " << errnoText());
    }
    BASALT_TRACE(debug_, 5, "FenixFile::write() " << path_ << " fenix:" << id);
}

double FenixFile::mtime() const {
    struct stat st;
    if (::lstat(path_.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0.0;
    return static_cast<double>(st.st_mtim.tv_sec) + static_cast<double>(st.st_mtim.tv_nsec) * 1e-9;
}

}  // namespace SharedMem
