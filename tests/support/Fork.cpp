#include "tests/support/Fork.h"

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>

namespace TestSupport {

Child::Child(std::function<bool()> body) {
    std::fflush(nullptr);
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        int rc = 2;
        try {
            rc = body() ? 0 : 1;
        } catch (...) {
            rc = 2;
        }
        std::fflush(nullptr);
        ::_exit(rc);
    }
}

Child::~Child() {
    if (status_ < 0 && pid_ > 0) kill();
}

namespace {
// A descriptor that polls readable when process `pid` ends; -1 when the kernel has none.
int pidFd(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }
int statusOf(int st) { return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st); }
}  // namespace

int Child::wait(double seconds) {
    if (status_ >= 0) return status_;
    const int fd = pidFd(pid_);
    if (fd >= 0) {
        pollfd p{fd, POLLIN, 0};
        int ready;
        while ((ready = ::poll(&p, 1, static_cast<int>(seconds * 1000))) < 0 && errno == EINTR) {
        }
        ::close(fd);
        if (ready == 0) {
            ::kill(pid_, SIGKILL);
            int st = 0;
            while (::waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
            }
            status_ = timedOut;
            return status_;
        }
    }
    int st = 0;
    while (::waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
    }
    status_ = statusOf(st);
    return status_;
}

bool Child::ended() {
    if (status_ >= 0) return true;
    int st = 0;
    if (::waitpid(pid_, &st, WNOHANG) != pid_) return false;
    status_ = statusOf(st);
    return true;
}

void Child::kill() {
    if (status_ >= 0) return;
    ::kill(pid_, SIGKILL);
    wait();
}

Signal::Signal() {
    if (::pipe(fds_) != 0) throw std::runtime_error("pipe failed");
}

Signal::~Signal() {
    ::close(fds_[0]);
    ::close(fds_[1]);
}

void Signal::post() {
    const char c = 1;
    while (::write(fds_[1], &c, 1) < 0) {
    }
}

bool Signal::wait(double seconds) {
    pollfd p{fds_[0], POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(seconds * 1000)) <= 0) return false;
    char c;
    return ::read(fds_[0], &c, 1) == 1;
}

bool Signal::wait(double seconds, Child& sender) {
    const int fd = pidFd(sender.pid());
    if (fd < 0) return wait(seconds);
    pollfd p[2] = {{fds_[0], POLLIN, 0}, {fd, POLLIN, 0}};
    const int ready = ::poll(p, 2, static_cast<int>(seconds * 1000));
    ::close(fd);
    if (ready > 0 && (p[0].revents & POLLIN)) {
        char c;
        return ::read(fds_[0], &c, 1) == 1;
    }
    return false;  // the bound passed, or the sender ended without posting
}

}  // namespace TestSupport
