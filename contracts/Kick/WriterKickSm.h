#pragma once

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Loom {
class EventLoop;
}

namespace Kick {

// The address of table `tableId`'s kick socket in the process whose socket name is `name`:
// "<name>.<tableId>" in the abstract namespace (`name` starts with '@', which stands for the
// leading NUL byte). False when `name` does not start with '@' or the address does not fit.
bool kickAddress(const std::string& name, std::uint32_t tableId, sockaddr_un& address,
                 socklen_t& length);

// The doorbell of one shared table's writer: a listening abstract-namespace Unix socket
// (SOCK_SEQPACKET) named "<process socket name>.<table id>", the connections of the readers that
// rang in, and the one-byte kicks the writer sends them after each change.
//
// Owns the listening socket and every accepted connection (all CLOEXEC, non-blocking). The table
// id is a number unique in this process (1, 2, ...), drawn when the instance is made.
//
// Towards reader processes it guarantees:
//  - every kick() made after a reader's connect() returned is followed by a byte to that reader
//    (at once, or in the loop's send round of the same or next pass), unless the
//    reader still has an unread one (its readers only need to know "something changed since you
//    last looked"), so a reader holds at most one unread kick and a reader that never reads
//    never slows the writer;
//  - a kick follows the change it announces: the caller kicks after it published the change;
//  - when the writer lets go (doDisableListen(), destruction, the process's death) every reader
//    sees end-of-file on its connection.
//
// Accepting: when the thread that enabled the socket is bound to a Loom loop
// (Loom::EventLoop::threadLoop()), the listening socket and the connections are watched there:
// new readers are accepted and closed ones dropped as they come, and kick() only marks a round
// pending and posts it once, so several kicks in one loop pass cost one send round. Without a
// loop (a command-line tool) kick() sends at once. Every send round first accepts the pending
// connections (a bounded number), so a reader whose connect() returned before a change is kicked
// for it even when the loop has not yet run its accept.
//
// Fork safety: a forked child closes its copies of the sockets (pthread_atfork child handler)
// and never accepts or kicks; the parent's readers keep their connections. Calls in another
// process than the one that enabled the socket do nothing.
//
// Thread safety: one thread, the one that enabled the socket (the table writer's); its loop, when
// there is one, must outlive doDisableListen() (the writer's detach).
class WriterKickSm {
  public:
    // Connections accepted per round at most; the rest wait for the next round.
    static constexpr int kAcceptBound = 64;

    WriterKickSm();
    ~WriterKickSm();
    WriterKickSm(const WriterKickSm&) = delete;
    WriterKickSm& operator=(const WriterKickSm&) = delete;

    // Listens on "<name>.<tableId()>" (name written with a leading '@' for the abstract
    // namespace, as Kick::ShocketAcceptSm names it). Closes an earlier socket first. False, with
    // nothing open, when the socket cannot be made (errno tells why).
    bool doEnableListen(const std::string& name);
    // Closes the listening socket and every connection (readers see end-of-file).
    void doDisableListen();
    // Tells every connected reader that the table changed.
    void kick();

    bool listening() const { return listenFd_ >= 0; }
    std::uint32_t tableId() const { return tableId_; }
    // The process's socket name given to doEnableListen(), as the owner file records it; empty
    // when not listening.
    const std::string& socketName() const { return socketName_; }

    // Connected readers (accepted; a reader that closed counts until the next round or watch
    // notices).
    std::size_t readers() const { return connections_.size(); }
    // Connected readers with no unread kick: the kernel holds no byte of theirs (SIOCOUTQ 0), so
    // the next kick wakes them. Asks the kernel for each reader.
    std::size_t sleepingReaders() const;
    // kick() calls while listening.
    std::uint64_t kicks() const { return kicks_; }
    // Send rounds run (with a loop, at most one per loop pass).
    std::uint64_t rounds() const { return rounds_; }
    // Bytes sent to readers, and kicks not sent because the reader had an unread one.
    std::uint64_t sent() const { return sent_; }
    std::uint64_t coalesced() const { return coalesced_; }

  private:
    void round();
    // In the process that enabled the socket only (callers check ownedHere()).
    void acceptPending();
    void drop(std::size_t i);
    void watchConnection(int fd);
    void onConnectionReadable(int fd);
    // In a forked child: closes the descriptors, leaves the loop alone (its epoll set is the
    // parent's too), and forgets everything.
    void forgetInChild();
    bool ownedHere() const;

    static void prepareFork();
    static void parentAfterFork();
    static void childAfterFork();

    const std::uint32_t tableId_;
    std::string socketName_;
    int listenFd_ = -1;
    pid_t pid_ = 0;
    std::vector<int> connections_;
    Loom::EventLoop* loop_ = nullptr;
    bool roundPending_ = false;
    // Posted rounds hold it weakly: a round posted before destruction finds it gone.
    std::shared_ptr<WriterKickSm*> self_;
    std::uint64_t kicks_ = 0;
    std::uint64_t rounds_ = 0;
    std::uint64_t sent_ = 0;
    std::uint64_t coalesced_ = 0;
};

}  // namespace Kick
