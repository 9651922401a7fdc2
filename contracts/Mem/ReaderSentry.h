#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "contracts/Basalt/DebugHandler.h"
#include "contracts/Mem/RootPath.h"

namespace Mem {

// A reader's mounter: watches for the table's writer and tells the table's facade (the
// notifiee) when to attach and when to detach.
//
// - start(reason) attaches at once when the writer is ready: its "fenix" file holds a non-zero
//   id, its "buckets" and "slots" files are present and non-empty, and a live process holds the
//   writer lock (Mem::WriterLock::ownerIsAlive). It then calls the notifiee's attach(reason)
//   synchronously. When the notifiee is mounted already, start only records that.
// - poll(), driven by the sentry's owner, notices a writer that appears (attach), dies (the
//   writer lock is free: detach(false)) or restarts (the fenix file holds another id than the
//   attached reader's: detach(false), then attach again when the new writer is ready). The
//   detach is not forced: a shadow keeps serving its copy until its flush has run. A notifiee
//   that dropped its table by itself (it reports mount status 0, e.g. after corruption) is
//   re-attached by the next poll.
// Attaching needs a live writer: a dead writer's files stay on disk, and attaching to them would
// be undone by the next poll.
//
// The notifiee's callbacks must not destroy this sentry.
//
// Thread safety: one thread (the table owner's) uses a sentry; the notifiee is called on it. The
// writer's files are only read (other processes change them concurrently; every reading here
// tolerates that).
class ReaderSentry {
  public:
    // What the reader's sentry needs of the table it mounts (Hoard::HoardMapBase implements it).
    class Notifiee {
      public:
        virtual ~Notifiee() = default;
        // Attach to the writer's table; `event` names the occasion.
        virtual void attach(const std::string& event) = 0;
        // Drop the table (the writer went away).
        virtual void detach(bool force) = 0;
        // Whether the notifiee wants change notifications.
        virtual bool notifying() const = 0;
        // The fenix id of the writer incarnation the notifiee is attached to; 0 when none.
        virtual std::uint32_t fenixId() const = 0;
        // 0 not mounted, 1 mounted, 2 mounted and synchronised, 3 flushing after a detach.
        virtual int mountStatus() const = 0;
        // Mounted and, for a shadow, synchronised.
        virtual bool readerFullyAttached() const = 0;
    };

    // What one poll() did.
    enum class Event { none, attached, detached, reattached };

    // `notifiee` must outlive the sentry.
    ReaderSentry(std::shared_ptr<Basalt::Platform::DebugHandler> debug, Notifiee* notifiee,
                 const RootPath& rootPath);
    ReaderSentry(const ReaderSentry&) = delete;
    ReaderSentry& operator=(const ReaderSentry&) = delete;

    // Attaches the notifiee now when the writer is ready (see above); `reason` is the event.
    void start(const std::string& reason);
    // One look at the writer; see above.
    Event poll();
    // True when the writer's files are there and its process lives; otherwise false with the
    // reason in `why` (when given).
    bool writerReady(std::string* why = nullptr) const;

    // Counts a purge of the notifiee's table (the facade reports each detach).
    void recordPurge() { ++purges_; }
    unsigned purges() const { return purges_; }
    // Attach calls made so far.
    unsigned attachAttempts() const { return attachAttempts_; }
    // The sentry believes the notifiee is attached.
    bool attached() const { return attached_; }
    void attachedIs(bool attached) { attached_ = attached; }
    const RootPath& rootPath() const { return rootPath_; }

  private:
    bool tryAttach(const std::string& event);

    std::shared_ptr<Basalt::Platform::DebugHandler> debug_;
    Notifiee* notifiee_;
    RootPath rootPath_;
    unsigned purges_ = 0;
    unsigned attachAttempts_ = 0;
    bool attached_ = false;
};

const char* readerSentryEventText(ReaderSentry::Event event);

}  // namespace Mem
