#include "tools/hoardctl/TableFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "contracts/Herald/HeraldView.h"
#include "contracts/Mem/RootPath.h"
#include "contracts/Mem/WriterLock.h"
#include "contracts/SharedMem/FenixFile.h"
#include "contracts/SharedMem/OwnerFile.h"

namespace Hoardctl {

namespace {

// Reads up to sizeof(T) bytes at offset 0 of `path` into `out`; true when the file is a regular
// file (not followed through a symbolic link) that held all of them. `size` gets the file size.
template <class T>
bool readHeader(const std::string& path, T& out, std::uint64_t& size) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (ok) {
        size = static_cast<std::uint64_t>(st.st_size);
        unsigned char bytes[sizeof(T)] = {};
        std::size_t done = 0;
        while (done < sizeof(T)) {
            const ssize_t n = ::pread(fd, bytes + done, sizeof(T) - done, static_cast<off_t>(done));
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        ok = done == sizeof(T);
        if (ok) std::memcpy(static_cast<void*>(&out), bytes, sizeof(T));
    }
    ::close(fd);
    return ok;
}

bool isRegularFile(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Why `path` cannot be read as a table file ("" when it can, or when it does not exist): it is
// not a regular file, or opening it for reading fails (permission).
std::string fileProblem(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return errno == ENOENT ? "" : "cannot read " + path + ": " + std::strerror(errno);
    }
    if (!S_ISREG(st.st_mode)) return path + " is not a regular file";
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return "cannot open " + path + ": " + std::strerror(errno);
    ::close(fd);
    return "";
}

}  // namespace

std::string TableFiles::valueType() const {
    if (!slotHeaderRead) return "";
    return std::string(slotHeader.valueType,
                       ::strnlen(slotHeader.valueType, Hoard::SlotTable::nameSize));
}

std::string TableFiles::valueTypeText() const {
    return slotHeaderRead ? slotHeader.valueTypeText() : "";
}

std::uint32_t TableFiles::members() const { return slotHeaderRead ? slotHeader.occupiedSlots : 0; }

std::uint32_t TableFiles::capacity() const {
    return slotHeaderRead ? slotHeader.numSlots().value : 0;
}

bool TableFiles::headersValid(const std::shared_ptr<Basalt::Platform::DebugHandler>& debug,
                              std::string& error) const {
    if (!hasSlots) {
        error = "no slots file in " + directory;
        return false;
    }
    if (!problem.empty()) {
        error = problem;
        return false;
    }
    if (fenix == 0) {
        error = "the fenix file of " + name +
                " is missing or invalid: no writer published this table (a writer would "
                "re-format it)";
        return false;
    }
    if (!bucketHeaderRead) {
        error = "the buckets file of " + name + " is missing or shorter than its header";
        return false;
    }
    if (!bucketHeader.validate(debug.get(), bucketFileSize, fenix, error)) return false;
    return Hoard::SlotTable::Header::validate(slotHeaderRead ? &slotHeader : nullptr, debug,
                                              slotHeaderRead ? slotFileSize : 0, fenix, error);
}

std::string TableFiles::ownerText() const {
    std::string text = "pid " + std::to_string(ownerPid);
    if (!ownerName.empty()) text += " (" + ownerName + ")";
    return text;
}

TableFiles readTableFiles(const std::shared_ptr<Basalt::Platform::DebugHandler>& debug,
                          const std::string& name) {
    const Mem::RootPath root(debug, name);
    TableFiles t;
    t.name = root.hoardName();
    t.directory = root.directory();
    // A table directory that is there but cannot be read is a table this process cannot read.
    auto unreadable = [&t](std::string why) {
        t.problem = std::move(why);
        t.directoryExists = t.hasSlots = true;
        return t;
    };
    struct stat st {};
    if (::lstat(t.directory.c_str(), &st) != 0) {
        // Missing: no table. Anything else (a level without search permission) is said.
        if (errno == ENOENT || errno == ENOTDIR) return t;
        return unreadable("cannot read " + t.directory + ": " + std::strerror(errno));
    }
    if (!S_ISDIR(st.st_mode)) return unreadable(t.directory + " is not a directory");
    const int dirFd = ::open(t.directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) return unreadable("cannot open " + t.directory + ": " + std::strerror(errno));
    ::close(dirFd);
    t.directoryExists = true;
    const std::string slots = root.filePath(Hoard::SlotTable::slotsFileName);
    t.hasSlots = ::lstat(slots.c_str(), &st) == 0;
    for (const char* file : {Hoard::SlotTable::slotsFileName, Hoard::BucketTable::fileName,
                             SharedMem::FenixFile::kFileName, SharedMem::OwnerFile::kFileName,
                             Herald::HeraldView::defaultFileName}) {
        if (t.problem.empty()) t.problem = fileProblem(root.filePath(file));
    }
    t.slotHeaderRead = readHeader(slots, t.slotHeader, t.slotFileSize);
    t.bucketHeaderRead =
        readHeader(root.filePath(Hoard::BucketTable::fileName), t.bucketHeader, t.bucketFileSize);
    t.hasHerald = isRegularFile(root.filePath(Herald::HeraldView::defaultFileName));
    t.fenix = SharedMem::FenixFile(debug, root).read().value();
    t.ownerAlive = Mem::WriterLock::ownerIsAlive(root, &t.ownerName);
    t.ownerPid = SharedMem::OwnerFile(debug, root, false).ownerPid();
    return t;
}

}  // namespace Hoardctl
