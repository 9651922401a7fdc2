#include "tests/support/Fork.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

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

int Child::wait() {
    if (status_ >= 0) return status_;
    int st = 0;
    while (::waitpid(pid_, &st, 0) < 0) {
    }
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return status_;
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

}  // namespace TestSupport
