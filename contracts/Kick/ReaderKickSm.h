#pragma once

#include <cstdint>
#include <memory>

#include "contracts/SharedMem/OwnerFile.h"

namespace Loom {
class EventLoop;
}

namespace Kick {

// A reader's end of a table writer's doorbell (Kick::WriterKickSm): one connection to the
// writer's table socket, watched on a Loom loop. Each readable event drains what the writer sent
// (a bounded number of bytes; their value means nothing) and reports one kick; end-of-file or an
// error reports the writer's disconnect once.
//
// Owns the connection's descriptor (CLOEXEC, non-blocking). Never blocks, never writes table
// files, never sends anything to the writer.
//
// The writer kicks every reader that connected before its change, so a reader reads the table
// (or its queue) once after connect() returned true, and again after each onKick(): nothing is
// missed. Kicks are coalesced: one onKick() may stand for many changes.
//
// Thread safety: the loop's thread only (connect() included). The loop must outlive the
// connection (onDetach() or destruction). The notifiee may call onDetach() or connect() from its
// callbacks; it must not destroy this object from onKick().
class ReaderKickSm {
  public:
    struct Notifiee {
        virtual ~Notifiee() = default;
        // The writer changed the table since the last kick was reported.
        virtual void onKick() = 0;
        // The writer closed the connection (detached or died); connected() is false.
        virtual void onDisconnect() = 0;
    };

    // Bytes drained per readable event at most; the rest wait for the next loop pass.
    static constexpr std::size_t kDrainBound = 256;

    ReaderKickSm(Notifiee* notifiee, Loom::EventLoop* loop);
    ~ReaderKickSm();
    ReaderKickSm(const ReaderKickSm&) = delete;
    ReaderKickSm& operator=(const ReaderKickSm&) = delete;

    // Connects to the table socket `info` names (after dropping an earlier connection without
    // reporting it) and watches it. False when `info` names no table socket (empty, or the
    // any-table id) or the writer cannot be reached (gone, refused, its backlog full).
    bool connect(const SharedMem::ShocketInfo& info);
    // Stops watching and closes, reporting nothing.
    void onDetach();

    bool connected() const { return fd_ >= 0; }
    // While off, kicks are drained but not reported (and not counted). On by default.
    bool notifying() const { return notifying_; }
    void notifyingIs(bool on) { notifying_ = on; }
    // onKick() calls made.
    std::uint64_t kicks() const { return kicks_; }

  private:
    void onReadable();

    Notifiee* const notifiee_;
    Loom::EventLoop* const loop_;
    int fd_ = -1;
    std::uint64_t connection_ = 0;  // counts connect()s: a callback tells its connection's end
    bool notifying_ = true;
    std::uint64_t kicks_ = 0;
};

}  // namespace Kick
