#include "contracts/Kick/ReaderKickSm.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "contracts/Kick/WriterKickSm.h"
#include "contracts/Loom/EventLoop.h"

namespace Kick {

ReaderKickSm::ReaderKickSm(Notifiee* notifiee, Loom::EventLoop* loop)
    : notifiee_(notifiee), loop_(loop) {}

ReaderKickSm::~ReaderKickSm() { onDetach(); }

bool ReaderKickSm::connect(const SharedMem::ShocketInfo& info) {
    onDetach();
    sockaddr_un address;
    socklen_t length = 0;
    if (info.empty() || info.tableId() == SharedMem::ShocketInfo::kAnyTable ||
        !kickAddress(info.socketName(), info.tableId(), address, length)) {
        return false;
    }
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    // A Unix socket connects at once or not at all (EAGAIN: the writer's backlog is full).
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    ++connection_;
    loop_->watchFd(fd_, [this] { onReadable(); });
    return true;
}

void ReaderKickSm::onDetach() {
    if (fd_ < 0) return;
    loop_->unwatchFd(fd_);
    ::close(fd_);
    fd_ = -1;
}

void ReaderKickSm::onReadable() {
    const std::uint64_t connection = connection_;
    bool kicked = false;
    bool gone = false;
    char buffer[kDrainBound];
    for (std::size_t drained = 0; drained < kDrainBound;) {
        // One kick per message; a longer message is truncated, which is fine: only its arrival
        // counts.
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer - drained, MSG_DONTWAIT);
        if (n > 0) {
            kicked = true;
            drained += static_cast<std::size_t>(n);
            continue;
        }
        // Nothing more now; an interrupted read is retried in the next pass (level-triggered).
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) break;
        gone = true;  // end-of-file (the writer closed) or an error
        break;
    }
    if (kicked && notifying_) {
        ++kicks_;
        notifiee_->onKick();
        if (connection_ != connection || fd_ < 0) return;  // the notifiee detached or reconnected
    }
    if (!gone) return;
    onDetach();
    notifiee_->onDisconnect();  // last: the notifiee may destroy this object
}

}  // namespace Kick
