#include "tools/hoardctl/TableFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

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
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
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

}  // namespace

std::string TableFiles::valueType() const {
    if (!slotHeaderRead) return "";
    return std::string(slotHeader.valueType,
                       ::strnlen(slotHeader.valueType, Hoard::SlotTable::nameSize));
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
    t.directoryExists = root.exists();
    if (!t.directoryExists) return t;
    const std::string slots = root.filePath(Hoard::SlotTable::slotsFileName);
    t.hasSlots = isRegularFile(slots);
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
