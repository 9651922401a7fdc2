#include "contracts/Kick/WriterKickSm.h"

#include <linux/sockios.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <unordered_set>

#include "contracts/Loom/EventLoop.h"

namespace Kick {

namespace {

std::atomic<std::uint32_t> lastTableId{0};

// Every instance of the process, for the fork handlers. The mutex is held across fork() so the
// child never inherits it locked by a thread that does not exist there.
std::mutex registryMutex;
std::unordered_set<WriterKickSm*>& registry() {
    static auto* const set = new std::unordered_set<WriterKickSm*>();  // never destroyed: the
                                                                       // fork handlers may run
    return *set;                                                       // at exit
}

// The bytes a reader may send are ignored; they are read (at most this many per readable
// event) only to notice end-of-file.
constexpr std::size_t kDrainBytes = 64;

}  // namespace

bool kickAddress(const std::string& name, std::uint32_t tableId, sockaddr_un& address,
                 socklen_t& length) {
    const std::string text = name + "." + std::to_string(tableId);
    if (name.size() < 2 || name[0] != '@' || text.size() > sizeof address.sun_path) return false;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    address.sun_path[0] = '\0';
    std::memcpy(address.sun_path + 1, text.data() + 1, text.size() - 1);
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + text.size());
    return true;
}

WriterKickSm::WriterKickSm() : tableId_(++lastTableId) {
    static std::once_flag handlers;
    std::call_once(handlers, [] {
        ::pthread_atfork(&WriterKickSm::prepareFork, &WriterKickSm::parentAfterFork,
                         &WriterKickSm::childAfterFork);
    });
    std::lock_guard<std::mutex> guard(registryMutex);
    registry().insert(this);
}

WriterKickSm::~WriterKickSm() {
    doDisableListen();
    std::lock_guard<std::mutex> guard(registryMutex);
    registry().erase(this);
}

bool WriterKickSm::doEnableListen(const std::string& name) {
    doDisableListen();
    sockaddr_un address;
    socklen_t length = 0;
    if (!kickAddress(name, tableId_, address, length)) {
        errno = EINVAL;
        return false;
    }
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
        ::listen(fd, SOMAXCONN) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return false;
    }
    listenFd_ = fd;
    socketName_ = name;
    pid_ = ::getpid();
    self_ = std::make_shared<WriterKickSm*>(this);
    loop_ = Loom::EventLoop::threadLoop();
    if (loop_ != nullptr) {
        loop_->watchFd(listenFd_, [this] {
            if (ownedHere()) acceptPending();
        });
    }
    return true;
}

void WriterKickSm::doDisableListen() {
    if (!ownedHere()) {
        forgetInChild();
        return;
    }
    while (!connections_.empty()) drop(connections_.size() - 1);
    if (listenFd_ >= 0) {
        if (loop_ != nullptr) loop_->unwatchFd(listenFd_);
        ::close(listenFd_);
    }
    listenFd_ = -1;
    socketName_.clear();
    loop_ = nullptr;
    roundPending_ = false;
    self_.reset();
}

bool WriterKickSm::ownedHere() const { return listenFd_ < 0 || pid_ == ::getpid(); }

void WriterKickSm::forgetInChild() {
    for (int fd : connections_) ::close(fd);
    connections_.clear();
    if (listenFd_ >= 0) ::close(listenFd_);
    listenFd_ = -1;
    socketName_.clear();
    loop_ = nullptr;
    roundPending_ = false;
    self_.reset();
}

void WriterKickSm::kick() {
    if (listenFd_ < 0) return;  // round() checks the process: once per round, not per kick
    ++kicks_;
    if (loop_ == nullptr) {
        round();
        return;
    }
    if (roundPending_) return;
    roundPending_ = true;
    loop_->post([weak = std::weak_ptr<WriterKickSm*>(self_)] {
        if (const auto self = weak.lock()) (*self)->round();
    });
}

void WriterKickSm::round() {
    roundPending_ = false;
    if (listenFd_ < 0 || !ownedHere()) return;
    ++rounds_;
    acceptPending();
    static const char byte = 'k';
    for (std::size_t i = connections_.size(); i-- > 0;) {
        const int fd = connections_[i];
        int unread = 0;
        if (::ioctl(fd, SIOCOUTQ, &unread) == 0 && unread > 0) {
            ++coalesced_;
            continue;
        }
        if (::send(fd, &byte, 1, MSG_DONTWAIT | MSG_NOSIGNAL) == 1) {
            ++sent_;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
            ++coalesced_;
        } else {
            drop(i);  // the reader closed (EPIPE, ECONNRESET) or the socket failed
        }
    }
}

void WriterKickSm::acceptPending() {
    // A failing accept4() still makes and frees a socket: asking first is several times cheaper
    // in the usual case of no new reader.
    pollfd pending{listenFd_, POLLIN, 0};
    if (::poll(&pending, 1, 0) != 1) return;
    for (int n = 0; n < kAcceptBound; ++n) {
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;  // EAGAIN: none pending; anything else: try again next round
        connections_.push_back(fd);
        if (loop_ != nullptr) watchConnection(fd);
    }
}

void WriterKickSm::watchConnection(int fd) {
    loop_->watchFd(fd, [this, fd] { onConnectionReadable(fd); });
}

void WriterKickSm::onConnectionReadable(int fd) {
    char buffer[kDrainBytes];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))) return;
    for (std::size_t i = 0; i < connections_.size(); ++i) {
        if (connections_[i] == fd) {
            drop(i);  // end-of-file or an error: the reader is gone
            return;
        }
    }
}

void WriterKickSm::drop(std::size_t i) {
    const int fd = connections_[i];
    if (loop_ != nullptr) loop_->unwatchFd(fd);
    ::close(fd);
    connections_[i] = connections_.back();
    connections_.pop_back();
}

std::size_t WriterKickSm::sleepingReaders() const {
    std::size_t sleeping = 0;
    for (int fd : connections_) {
        int unread = 0;
        if (::ioctl(fd, SIOCOUTQ, &unread) == 0 && unread == 0) ++sleeping;
    }
    return sleeping;
}

void WriterKickSm::prepareFork() { registryMutex.lock(); }

void WriterKickSm::parentAfterFork() { registryMutex.unlock(); }

void WriterKickSm::childAfterFork() {
    for (WriterKickSm* sm : registry()) sm->forgetInChild();  // the child is single-threaded here
    registryMutex.unlock();
}

}  // namespace Kick
