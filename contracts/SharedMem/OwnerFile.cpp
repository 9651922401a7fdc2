#include "contracts/SharedMem/OwnerFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "contracts/Basalt/Exception.h"
#include "contracts/Basalt/HashMix.h"
#include "contracts/Mem/WriterLock.h"

namespace SharedMem {

namespace {

// A reader's read may interleave with the writer's in-place rewrite; a torn record fails its
// checksum, and a re-read a moment later sees the whole record. Bounded: a record that stays
// malformed is reported as malformed.
constexpr int kReadAttempts = 4;
// The record lock is taken on the file at the path; when the file is replaced between open and
// lock, the open is retried this often before giving up.
constexpr int kLockAttempts = 8;
constexpr std::size_t kDumpBytes = 64;

std::string hex32(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08x", v);
    return buf;
}

std::string hexBytes(const unsigned char* bytes, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * n);
    for (std::size_t i = 0; i < n; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0xF];
    }
    return out;
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

void closeQuietly(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

struct flock recordRange(short type) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = static_cast<off_t>(kOwnerRecordSize);
    fl.l_pid = 0;  // required to be 0 for open-file-description locks
    return fl;
}

// Reads up to `max` bytes from offset 0; returns the count, or -1.
ssize_t readAll(int fd, unsigned char* buf, std::size_t max) {
    std::size_t got = 0;
    while (got < max) {
        const ssize_t n = ::pread(fd, buf + got, max - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

}  // namespace

// ---- ShocketInfo, ShocketName -------------------------------------------------------------------

std::string ShocketInfo::toString() const {
    return "socketName:" + socketName_ +
           " tableId:" + std::to_string(static_cast<std::int32_t>(tableId_));
}

bool ShocketName::ShocketNameIs(const std::string& text) {
    *this = ShocketName();
    const std::size_t dot = text.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == text.size()) return false;
    const char* first = text.data() + dot + 1;
    const char* last = text.data() + text.size();
    std::uint32_t number = 0;
    for (const char* p = first; p != last; ++p) {
        if (*p < '0' || *p > '9') return false;
    }
    const auto [end, ec] = std::from_chars(first, last, number);
    if (ec != std::errc() || end != last) return false;
    name_ = text.substr(0, dot);
    number_ = number;
    valid_ = true;
    return true;
}

// ---- OwnerRecord
// ----------------------------------------------------------------------------------

std::uint32_t OwnerRecord::computeChecksum() const {
    using Mix = Basalt::Impl::HashMix<std::uint32_t>;
    return Mix::mixFixedLen(Mix::offsetBasis, this, offsetof(OwnerRecord, checksum));
}

// ---- OwnerFile::Lock ----------------------------------------------------------------------------

OwnerFile::Lock& OwnerFile::Lock::operator=(Lock&& other) noexcept {
    if (this != &other) {
        release();
        owner_ = other.owner_;
        other.owner_ = nullptr;
    }
    return *this;
}

void OwnerFile::Lock::release() {
    if (owner_ != nullptr) owner_->unlockOne();
    owner_ = nullptr;
}

// ---- OwnerFile
// ------------------------------------------------------------------------------------

OwnerFile::OwnerFile(std::shared_ptr<Basalt::Platform::DebugHandler> debug,
                     const Mem::RootPath& rootPath, bool local)
    : debug_(std::move(debug)),
      path_(rootPath.filePath(kFileName)),
      writer_(rootPath.writer()),
      local_(local) {
    memory_.pid = static_cast<std::int32_t>(::getpid());
    if (!local_) Mem::trackForkClosedDescriptor(&lockFd_);
}

OwnerFile::~OwnerFile() {
    if (local_) return;
    if (lockFd_ >= 0) {
        BASALT_TRACE(debug_, 1,
                     "OwnerFile " << path_ << " destroyed while its record lock is held");
        closeQuietly(lockFd_);
    }
    Mem::untrackForkClosedDescriptor(&lockFd_);
}

void OwnerFile::requireWriter(const char* operation) const {
    if (!writer_) {
        Basalt::NoPermissionException::throwException(std::string("OwnerFile::") + operation +
                                                      "() " + path_ + " by a reader");
    }
}

// Opens the file at the path (creating it) and takes the record lock on it, retrying when the
// file was replaced between the open and the lock. Leaves the locked descriptor in lockFd_, which
// is tracked for closing in a forked child from the moment it is opened.
int OwnerFile::openAndLock() {
    for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
        lockFd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
        struct stat fst;
        if (lockFd_ < 0 || ::fstat(lockFd_, &fst) != 0 || !S_ISREG(fst.st_mode)) {
            const std::string reason = std::strerror(errno);
            closeQuietly(lockFd_);
            Basalt::InvalidInitializeException::throwException(
                "OwnerFile::lock() cannot open " + path_ + " as a regular file: " + reason);
        }
        struct flock fl = recordRange(F_WRLCK);
        while (::fcntl(lockFd_, F_OFD_SETLKW, &fl) != 0) {
            if (errno == EINTR) continue;
            const std::string reason = std::strerror(errno);
            closeQuietly(lockFd_);
            Basalt::InvalidInitializeException::throwException("OwnerFile::lock() cannot lock " +
                                                               path_ + ": " + reason);
        }
        struct stat pst;
        if (::stat(path_.c_str(), &pst) != 0 || !sameFile(fst, pst)) {
            BASALT_TRACE(debug_, 5, "OwnerFile::lock() " << path_ << " was replaced; retrying");
            closeQuietly(lockFd_);
            continue;
        }
        if (::fstat(lockFd_, &fst) == 0 && fst.st_size == 0) {
            // A new file: give it a well-formed empty record, so that validate() passes for a
            // table nobody has owned yet.
            writeRecord(lockFd_, OwnerRecord{});
        }
        return lockFd_;
    }
    Basalt::InvalidInitializeException::throwException("OwnerFile::lock() " + path_ +
                                                       " keeps being replaced");
}

OwnerFile::Lock OwnerFile::lock() {
    if (local_) {
        ++lockDepth_;
        return Lock(this);
    }
    requireWriter("lock");
    // A forked child inherits the depth but not the descriptor (closed by the fork handler): it
    // locks afresh.
    if (lockFd_ < 0) openAndLock();
    ++lockDepth_;
    return Lock(this);
}

void OwnerFile::unlockOne() {
    if (lockDepth_ <= 0) return;
    if (--lockDepth_ > 0 || local_) return;
    if (lockFd_ >= 0) {
        struct flock fl = recordRange(F_UNLCK);
        ::fcntl(lockFd_, F_OFD_SETLK, &fl);
        closeQuietly(lockFd_);
    }
}

void OwnerFile::refreshLock() {
    if (local_ || lockDepth_ == 0 || lockFd_ < 0) return;
    struct stat fst, pst;
    if (::fstat(lockFd_, &fst) == 0 && ::stat(path_.c_str(), &pst) == 0 && sameFile(fst, pst)) {
        return;
    }
    BASALT_TRACE(debug_, 5, "OwnerFile::refreshLock() " << path_ << " was replaced; relocking");
    // The old file is no longer anybody's owner file: closing drops its lock.
    closeQuietly(lockFd_);
    openAndLock();
}

// Rewrites the record in place. Readers take no lock: a read that interleaves with this write
// pairs with the checksum check in decode(), which rejects the torn copy, and readSnapshot()
// reads again.
void OwnerFile::writeRecord(int fd, OwnerRecord record) {
    record.checksum = record.computeChecksum();
    const auto* bytes = reinterpret_cast<const unsigned char*>(&record);
    std::size_t done = 0;
    while (done < sizeof record) {
        const ssize_t n =
            ::pwrite(fd, bytes + done, sizeof record - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            Basalt::MemoryResourceException::throwException("OwnerFile cannot write " + path_ +
                                                            ": " + std::strerror(errno));
        }
        done += static_cast<std::size_t>(n);
    }
    struct stat st;
    if (::fstat(fd, &st) == 0 && static_cast<std::size_t>(st.st_size) > sizeof record) {
        // A replaced record may have been longer garbage; the record is the whole file.
        if (::ftruncate(fd, static_cast<off_t>(sizeof record)) != 0) {
            BASALT_TRACE(debug_, 1,
                         "OwnerFile cannot truncate " << path_ << ": " << std::strerror(errno));
        }
    }
}

OwnerFile::Snapshot OwnerFile::decode(const unsigned char* bytes, std::size_t size,
                                      const std::string& path) {
    Snapshot s;
    const std::size_t shown = size < kDumpBytes ? size : kDumpBytes;
    auto malformed = [&](const std::string& why) {
        s.state = State::malformed;
        s.error = "OwnerFile::validate() " + path + " " + why;
        s.leadingBytes = hexBytes(bytes, shown);
        return s;
    };
    if (size == 0) {
        s.state = State::empty;
        s.error = "OwnerFile::validate() " + path + " is empty";
        return s;
    }
    if (size != kOwnerRecordSize) {
        return malformed("has " + std::to_string(size) + " bytes, wanted " +
                         std::to_string(kOwnerRecordSize));
    }
    std::memcpy(&s.record, bytes, sizeof s.record);
    const OwnerRecord& r = s.record;
    if (r.magic != OwnerRecord::kMagic) return malformed("bad magic " + hex32(r.magic));
    if (r.version != OwnerRecord::kVersion) {
        return malformed("bad version " + std::to_string(r.version));
    }
    if (r.socketNameLength > OwnerRecord::kMaxSocketName) {
        return malformed("bad socket name length " + std::to_string(r.socketNameLength));
    }
    for (std::size_t i = 0; i < sizeof r.socketName; ++i) {
        const bool used = i < r.socketNameLength;
        if (used == (r.socketName[i] == '\0')) {
            return malformed(used ? "socket name holds a NUL byte"
                                  : "socket name padding not zero");
        }
    }
    if (r.pid < 0) return malformed("bad pid " + std::to_string(r.pid));
    const std::uint32_t computed = r.computeChecksum();
    if (computed != r.checksum) {
        return malformed("bad checksum " + hex32(r.checksum) + " computed " + hex32(computed));
    }
    s.state = State::valid;
    return s;
}

OwnerFile::Snapshot OwnerFile::readSnapshot() const {
    Snapshot s;
    if (local_) {
        s.state = State::valid;
        s.record = memory_;
        return s;
    }
    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
        const int fd = ::open(path_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            s = Snapshot();
            if (errno == ENOENT) {
                s.error = "OwnerFile::validate() " + path_ + " is missing";
            } else {
                s.state = State::malformed;
                s.error =
                    "OwnerFile::validate() cannot open " + path_ + ": " + std::strerror(errno);
            }
            return s;
        }
        struct stat st;
        unsigned char buf[kOwnerRecordSize + 1];
        ssize_t n = -1;
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) n = readAll(fd, buf, sizeof buf);
        ::close(fd);
        if (n < 0) {
            s = Snapshot();
            s.state = State::malformed;
            s.error = "OwnerFile::validate() cannot read " + path_ + " as a regular file";
            return s;
        }
        s = decode(buf, static_cast<std::size_t>(n), path_);
        if (s.state != State::malformed) return s;
    }
    return s;
}

bool OwnerFile::validate() const {
    std::string error;
    return validate(error);
}

bool OwnerFile::validate(std::string& error) const {
    const Snapshot s = readSnapshot();
    if (s.state == State::valid) return true;
    error = s.error;
    return false;
}

void OwnerFile::validateFile() const {
    std::string error;
    if (!validate(error)) Basalt::CorruptionDetectedException::throwException(error);
}

std::string OwnerFile::headerToString() const {
    const Snapshot s = readSnapshot();
    std::string out = "OwnerFile " + path_ + (local_ ? " (local)" : "");
    switch (s.state) {
        case State::missing:
            return out + " missing";
        case State::empty:
            return out + " empty";
        case State::malformed:
            return out + " malformed: " + s.error + " leading bytes:" + s.leadingBytes;
        case State::valid:
            break;
    }
    const OwnerRecord& r = s.record;
    return out + " magic:" + hex32(r.magic) + " version:" + std::to_string(r.version) +
           " pid:" + std::to_string(r.pid) + " fenix:" + std::to_string(r.fenix) + " shocketInfo:" +
           ShocketInfo(std::string(r.socketName, r.socketNameLength), r.tableId).toString() +
           " checksum:" + hex32(r.checksum);
}

ShocketInfo OwnerFile::shocketInfo() const {
    const Snapshot s = readSnapshot();
    switch (s.state) {
        case State::missing:
        case State::empty:
            return ShocketInfo();
        case State::malformed:
            Basalt::CorruptionDetectedException::throwException(s.error);
        case State::valid:
            break;
    }
    return ShocketInfo(std::string(s.record.socketName, s.record.socketNameLength),
                       s.record.tableId);
}

pid_t OwnerFile::ownerPid() const {
    const Snapshot s = readSnapshot();
    return s.state == State::valid ? static_cast<pid_t>(s.record.pid) : 0;
}

FenixId OwnerFile::fenix() const {
    const Snapshot s = readSnapshot();
    return s.state == State::valid ? FenixId(s.record.fenix) : FenixId();
}

template <class Change>
void OwnerFile::update(const char* operation, bool replace, Change change) {
    if (local_) {
        change(memory_);
        return;
    }
    requireWriter(operation);
    Lock guard = lock();
    // Writers are serialised by the record lock held here: one read sees a whole record.
    unsigned char buf[kOwnerRecordSize + 1];
    const ssize_t n = readAll(lockFd_, buf, sizeof buf);
    const Snapshot s = decode(buf, n < 0 ? 0 : static_cast<std::size_t>(n), path_);
    OwnerRecord record;
    if (s.state == State::valid) {
        record = s.record;
    } else if (!replace) {
        BASALT_TRACE(debug_, 1,
                     "OwnerFile::" << operation << "() leaves a malformed record: " << s.error);
        return;
    }
    change(record);
    writeRecord(lockFd_, record);
}

void OwnerFile::shocketInfoIs(const ShocketInfo& info) {
    const std::string& name = info.socketName();
    if (name.size() > OwnerRecord::kMaxSocketName || name.find('\0') != std::string::npos) {
        Basalt::InvalidInitializeException::throwException(
            "OwnerFile::shocketInfoIs() socket name of " + std::to_string(name.size()) +
            " bytes is not storable (at most " + std::to_string(OwnerRecord::kMaxSocketName) +
            ", no NUL)");
    }
    update("shocketInfoIs", true, [&](OwnerRecord& r) {
        r.pid = static_cast<std::int32_t>(::getpid());
        r.tableId = info.tableId();
        r.socketNameLength = static_cast<std::uint32_t>(name.size());
        std::memset(r.socketName, 0, sizeof r.socketName);
        std::memcpy(r.socketName, name.data(), name.size());
    });
    BASALT_TRACE(debug_, 5, "OwnerFile::shocketInfoIs() " << path_ << " " << info);
}

void OwnerFile::ownerPidIs(pid_t pid) {
    update("ownerPidIs", false, [&](OwnerRecord& r) { r.pid = static_cast<std::int32_t>(pid); });
}

void OwnerFile::fenixIs(FenixId id) {
    update("fenixIs", false, [&](OwnerRecord& r) { r.fenix = id.value(); });
}

}  // namespace SharedMem
