#include "contracts/Mem/WriterLock.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "contracts/Basalt/Exception.h"
#include "contracts/SharedMem/OwnerFile.h"

namespace Mem {

namespace {

// One locked owner file of this process.
struct Entry {
    std::uint64_t id;
    dev_t dev;
    ino_t ino;
    int fd;
    unsigned holders;
};

// The process's writer locks and the descriptors a forked child must not keep. Guarded by
// `mutex`; the fork handlers hold it across fork(), so the child sees a consistent registry.
struct Registry {
    std::mutex mutex;
    std::vector<Entry> entries;
    std::vector<int*> tracked;
    std::uint64_t nextId = 1;
    // Incremented in every forked child: WriterLock objects copied into a child by fork() see a
    // different generation and know that they hold nothing there.
    std::uint64_t generation = 0;
};

Registry& registry();

void forkPrepare() { registry().mutex.lock(); }
void forkParent() { registry().mutex.unlock(); }
// Runs in the child with only the forking thread alive. Only closes: an unlock through an
// inherited descriptor would release the parent's lock, and closing a duplicate never does.
void forkChild() {
    Registry& r = registry();
    for (const Entry& e : r.entries) ::close(e.fd);
    r.entries.clear();
    for (int* fd : r.tracked) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
    ++r.generation;
    r.mutex.unlock();
}

Registry& registry() {
    // Never destroyed: fork handlers and the destructors of static objects may use it at exit.
    static Registry* r = [] {
        auto* p = new Registry;
        ::pthread_atfork(forkPrepare, forkParent, forkChild);
        return p;
    }();
    return *r;
}

// Owner files replaced between an open and its successful flock, tried again at once.
constexpr unsigned kMaxReplacements = 8;

bool sameFile(const struct stat& a, dev_t dev, ino_t ino) {
    return a.st_dev == dev && a.st_ino == ino;
}

// Tracks a descriptor variable for the scope, so that a fork() on another thread while the
// descriptor holds a lock does not hand the lock to the child.
struct TrackedFd {
    int fd = -1;
    TrackedFd() { trackForkClosedDescriptor(&fd); }
    ~TrackedFd() {
        if (fd >= 0) ::close(fd);
        untrackForkClosedDescriptor(&fd);
    }
    void close() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
};

std::string commandName(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

}  // namespace

void trackForkClosedDescriptor(int* fd) {
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.mutex);
    r.tracked.push_back(fd);
}

void untrackForkClosedDescriptor(int* fd) {
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.mutex);
    r.tracked.erase(std::remove(r.tracked.begin(), r.tracked.end(), fd), r.tracked.end());
}

WriterLock::WriterLock(std::chrono::milliseconds retryInterval,
                       std::chrono::milliseconds retryLimit)
    : retryInterval_(retryInterval), retryLimit_(retryLimit) {}

WriterLock::~WriterLock() { release(); }

void WriterLock::acquireWriterLock(std::shared_ptr<Basalt::Platform::DebugHandler> debug,
                                   const RootPath& rootPath, SharedMem::OwnerFile& ownerFile) {
    if (ownerFile.local()) {
        local_ = true;
        return;
    }
    const std::string path = rootPath.filePath(SharedMem::OwnerFile::kFileName);
    BASALT_ASSERT(path == ownerFile.path());
    if (ownerIsMe()) return;
    release();  // a hold on a replaced file, or one copied into a forked child
    if (!rootPath.writer()) {
        Basalt::InvalidInitializeException::throwException("WriterLock::acquireWriterLock() " +
                                                           path + " by a reader");
    }
    path_ = path;
    Registry& reg = registry();

    // Joins this process's hold on `st`'s file, if there is one.
    auto joinOwnHold = [&](const struct stat& st) {
        std::lock_guard<std::mutex> g(reg.mutex);
        for (Entry& e : reg.entries) {
            if (sameFile(st, e.dev, e.ino)) {
                ++e.holders;
                entryId_ = e.id;
                generation_ = reg.generation;
                return true;
            }
        }
        return false;
    };

    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + retryLimit_;
    TrackedFd lockFd;
    struct stat fst {};
    unsigned replacements = 0;
    for (unsigned attempt = 1;; ++attempt) {
        struct stat pst;
        if (::stat(path.c_str(), &pst) == 0 && joinOwnHold(pst)) {
            BASALT_TRACE(debug, 5, "WriterLock::acquireWriterLock() " << path << " already held");
            return;
        }
        if (lockFd.fd < 0) {
            lockFd.fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
            if (lockFd.fd < 0 || ::fstat(lockFd.fd, &fst) != 0 || !S_ISREG(fst.st_mode)) {
                Basalt::InvalidInitializeException::throwException(
                    "WriterLock::acquireWriterLock() cannot open " + path +
                    " as a regular file: " + std::strerror(errno));
            }
            if (joinOwnHold(fst)) return;
        }
        if (::flock(lockFd.fd, LOCK_EX | LOCK_NB) == 0) {
            // The lock counts only on the file that is still the owner file: a writer that
            // removed it (cleanup) and a new writer that re-created it meanwhile leave this
            // descriptor on a file nobody else will ever lock.
            if (::stat(path.c_str(), &pst) != 0 || !sameFile(pst, fst.st_dev, fst.st_ino)) {
                BASALT_TRACE(
                    debug, 1,
                    "WriterLock::acquireWriterLock() " << path << " was replaced while waiting");
                lockFd.close();
                // Try the current file at once; bounded, in case files keep being replaced.
                if (++replacements <= kMaxReplacements) continue;
            } else {
                {
                    std::lock_guard<std::mutex> g(reg.mutex);
                    entryId_ = reg.nextId++;
                    generation_ = reg.generation;
                    reg.entries.push_back(Entry{entryId_, fst.st_dev, fst.st_ino, lockFd.fd, 1});
                    lockFd.fd = -1;  // owned by the registry now
                }
                ownerFile.ownerPidIs(::getpid());
                ownerFile.refreshLock();
                BASALT_TRACE(debug, 1,
                             "WriterLock::acquireWriterLock() " << path << " acquired by pid "
                                                                << ::getpid() << " after "
                                                                << attempt << " attempts");
                return;
            }
        } else if (errno != EWOULDBLOCK && errno != EINTR) {
            Basalt::InvalidInitializeException::throwException(
                "WriterLock::acquireWriterLock() cannot lock " + path + ": " +
                std::strerror(errno));
        } else if (::stat(path.c_str(), &pst) != 0 || !sameFile(pst, fst.st_dev, fst.st_ino)) {
            // The holder removed the file (and may still hold it): wait on the current one.
            lockFd.close();
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            lockFd.close();
            const pid_t holder = ownerFile.ownerPid();
            const auto waited =
                std::chrono::duration_cast<std::chrono::milliseconds>(now - start).count();
            std::string who =
                holder > 0 ? "pid " + std::to_string(holder) + " (" + commandName(holder) + ")"
                           : std::string("another process (pid unknown)");
            Basalt::InvalidInitializeException::throwException(
                "WriterLock::acquireWriterLock() " + path + " is held by " + who +
                "; gave up after " + std::to_string(waited) + " ms and " + std::to_string(attempt) +
                " attempts");
        }
        if (waitObserver_) waitObserver_(attempt);
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(retryInterval_, deadline - now));
    }
}

bool WriterLock::ownerIsMe() const {
    if (local_) return true;
    if (entryId_ == 0) return false;
    struct stat pst;
    if (::stat(path_.c_str(), &pst) != 0) return false;
    Registry& reg = registry();
    std::lock_guard<std::mutex> g(reg.mutex);
    if (generation_ != reg.generation) return false;
    for (const Entry& e : reg.entries) {
        if (e.id == entryId_) return sameFile(pst, e.dev, e.ino);
    }
    return false;
}

void WriterLock::release() {
    local_ = false;
    if (entryId_ == 0) return;
    Registry& reg = registry();
    std::lock_guard<std::mutex> g(reg.mutex);
    if (generation_ == reg.generation) {
        for (auto it = reg.entries.begin(); it != reg.entries.end(); ++it) {
            if (it->id != entryId_) continue;
            if (--it->holders == 0) {
                ::flock(it->fd, LOCK_UN);
                ::close(it->fd);
                reg.entries.erase(it);
            }
            break;
        }
    }
    entryId_ = 0;
}

bool WriterLock::ownerIsMe(const RootPath& rootPath) {
    struct stat pst;
    if (::stat(rootPath.filePath(SharedMem::OwnerFile::kFileName).c_str(), &pst) != 0) {
        return false;
    }
    Registry& reg = registry();
    std::lock_guard<std::mutex> g(reg.mutex);
    for (const Entry& e : reg.entries) {
        if (sameFile(pst, e.dev, e.ino)) return true;
    }
    return false;
}

bool WriterLock::ownerIsAlive(const RootPath& rootPath, std::string* ownerName) {
    if (ownerName != nullptr) ownerName->clear();
    bool alive = false;
    {
        TrackedFd probe;
        probe.fd = ::open(rootPath.filePath(SharedMem::OwnerFile::kFileName).c_str(),
                          O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (probe.fd < 0) return false;
        if (::flock(probe.fd, LOCK_SH | LOCK_NB) == 0) {
            // Nobody holds it exclusively. Drop the probe at once: while it stands, a writer's
            // exclusive attempt fails and has to retry.
            ::flock(probe.fd, LOCK_UN);
        } else {
            alive = errno == EWOULDBLOCK;
        }
    }
    if (alive && ownerName != nullptr) {
        const pid_t pid = SharedMem::OwnerFile(nullptr, rootPath, false).ownerPid();
        if (pid > 0) *ownerName = commandName(pid);
    }
    return alive;
}

}  // namespace Mem
