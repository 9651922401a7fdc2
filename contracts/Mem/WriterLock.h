#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "contracts/Basalt/DebugHandler.h"
#include "contracts/Mem/RootPath.h"

namespace SharedMem {
class OwnerFile;
}

namespace Mem {

// The writer lock of a table: an exclusive flock on the table's owner file, held for as long as
// the writer lives, so that a table has at most one writer process.
//
// - Per process, not per object: the lock's descriptor lives in a process-wide registry keyed by
//   the owner file's (device, inode), with a count of the WriterLock objects that hold it. A
//   second acquire in the same process returns at once; the file is unlocked when the last
//   holder releases.
// - After flock succeeds the descriptor's file is compared with the file now at the path
//   (fstat against stat): when the owner file was removed and re-created meanwhile, the lock is
//   on a file no other writer will ever look at, so it is dropped and the current file tried.
// - A forked child never holds the lock: a pthread_atfork child handler closes the registry's
//   descriptors in the child (an inherited descriptor would keep the lock after the parent died,
//   and an unlock through it would release the parent's lock). It only closes; it never unlocks.
// - A busy lock is retried every retry interval until the retry limit (10 ms and 2 s unless set)
//   has passed; then Basalt::InvalidInitializeException names the holder's pid as the owner record
//   tells it.
//
// Thread safety: one thread uses a WriterLock object. The registry is guarded by a mutex, so
// different objects (for the same table or others) may be used on different threads; the static
// queries may be called from any thread. Descriptors are opened O_NOFOLLOW | O_CLOEXEC; a missing
// owner file is created 0644.
class WriterLock {
  public:
    static constexpr std::chrono::milliseconds kDefaultRetryInterval{10};
    static constexpr std::chrono::milliseconds kDefaultRetryLimit{2000};

    explicit WriterLock(std::chrono::milliseconds retryInterval = kDefaultRetryInterval,
                        std::chrono::milliseconds retryLimit = kDefaultRetryLimit);
    ~WriterLock();  // release()
    WriterLock(const WriterLock&) = delete;
    WriterLock& operator=(const WriterLock&) = delete;

    // Returns only when this process holds the writer lock of the table, this object counting as
    // one of its holders; then records this process's pid in the owner record (kept as it is when
    // the record is malformed, so that its validation still fails) and moves a record lock the
    // owner file holds onto the current file. Returns at once when this object or another one in
    // this process holds it already. A local owner file needs no lock: this returns at once.
    // Raises Basalt::InvalidInitializeException when the retry limit passes, or when the owner
    // file cannot be opened (a reader's root path included: only writers create or lock it).
    void acquireWriterLock(std::shared_ptr<Basalt::Platform::DebugHandler> debug,
                           const RootPath& rootPath, SharedMem::OwnerFile& ownerFile);
    // This object holds the writer lock, and the locked file is still the table's owner file.
    bool ownerIsMe() const;
    // Drops this object's hold; the file is unlocked when no object of this process holds it.
    void release();

    void retryIs(std::chrono::milliseconds interval, std::chrono::milliseconds limit) {
        retryInterval_ = interval;
        retryLimit_ = limit;
    }
    // Called after each failed attempt, before the pause, with the attempt's number (from 1).
    void waitObserverIs(std::function<void(unsigned attempt)> observer) {
        waitObserver_ = std::move(observer);
    }

    // This process holds the writer lock of the table whose owner file is now at the path.
    static bool ownerIsMe(const RootPath& rootPath);
    // Some process (this one included) holds the writer lock of the table: a shared,
    // non-blocking flock probe that is dropped at once. `ownerName`, when given, gets the
    // command name of the pid in the owner record while the owner lives ("" when unknown).
    static bool ownerIsAlive(const RootPath& rootPath, std::string* ownerName = nullptr);

  private:
    std::chrono::milliseconds retryInterval_;
    std::chrono::milliseconds retryLimit_;
    std::function<void(unsigned)> waitObserver_;
    std::string path_;
    std::uint64_t entryId_ = 0;     // the registry entry this object holds; 0 when none
    std::uint64_t generation_ = 0;  // the registry's fork generation when acquired
    bool local_ = false;            // holds a local owner file's (absent) lock
};

// Descriptors that a forked child must not keep (they hold locks of the parent): the child
// handler closes each and sets it to -1. `fd` must stay at its address while tracked.
void trackForkClosedDescriptor(int* fd);
void untrackForkClosedDescriptor(int* fd);

}  // namespace Mem
