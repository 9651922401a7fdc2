#include "contracts/Loom/FifoEvent.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "contracts/Basalt/Exception.h"
#include "contracts/Loom/EventLoop.h"

namespace Loom {

FifoEvent::FifoEvent() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (fd_ < 0) {
        Basalt::MemoryResourceException::throwException(std::string("Loom::FifoEvent: eventfd: ") +
                                                        std::strerror(errno));
    }
}

FifoEvent::~FifoEvent() {
    eventLoopIs(nullptr);
    ::close(fd_);
}

void FifoEvent::eventLoopIs(EventLoop* loop) {
    if (loop == loop_) return;
    if (loop_) {
        loop_->unwatchFd(fd_);
        loop_->fifoEvents_.erase(this);
    }
    loop_ = nullptr;
    if (!loop) return;
    loop->watchFd(fd_, [this] { onReadable(); });
    loop->fifoEvents_.insert(this);
    loop_ = loop;
}

void FifoEvent::onReadable() {
    clear();  // before the notification: a signal from now on wakes another pass
    notifiees_.visit(readableCountAttribute);
}

void FifoEvent::signal() {
    const std::uint64_t one = 1;
    // Fails only when the count would overflow 2^64 - 2; the fd is then readable anyway.
    [[maybe_unused]] const auto n = ::write(fd_, &one, sizeof one);
}

std::uint64_t FifoEvent::clear() {
    std::uint64_t count = 0;
    if (::read(fd_, &count, sizeof count) != sizeof count) return 0;  // EAGAIN: was 0
    return count;
}

std::uint64_t FifoEvent::readableCount() const {
    // An eventfd has no peek: read the count and put it back. Only the watching thread clears,
    // so the count cannot drop in between; a concurrent signal() just adds to it.
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 0) != 1) return 0;
    std::uint64_t count = 0;
    if (::read(fd_, &count, sizeof count) != sizeof count) return 0;
    [[maybe_unused]] const auto n = ::write(fd_, &count, sizeof count);
    return count;
}

}  // namespace Loom
