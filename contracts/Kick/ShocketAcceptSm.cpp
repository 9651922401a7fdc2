#include "contracts/Kick/ShocketAcceptSm.h"

#include <pthread.h>
#include <sys/random.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>

namespace Kick {

namespace {

// A random number below 2^31 (fits ShocketName's 32-bit number); falls back to the clock when
// the kernel's random source is unavailable.
std::uint32_t nonce() {
    std::uint32_t value = 0;
    if (::getrandom(&value, sizeof value, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof value)) {
        value = static_cast<std::uint32_t>(
            std::chrono::steady_clock::now().time_since_epoch().count() ^ ::getpid());
    }
    return value & 0x7FFFFFFFu;
}

}  // namespace

ShocketAcceptSm& ShocketAcceptSm::instance() {
    static ShocketAcceptSm* const sm = new ShocketAcceptSm();  // never destroyed: the fork
                                                               // handlers may run at any time
    return *sm;
}

ShocketAcceptSm::ShocketAcceptSm() {
    rename();
    ::pthread_atfork(&ShocketAcceptSm::prepareFork, &ShocketAcceptSm::parentAfterFork,
                     &ShocketAcceptSm::childAfterFork);
}

void ShocketAcceptSm::rename() const {
    pid_ = ::getpid();
    name_ = "@flowtable-kick-" + std::to_string(pid_) + "." + std::to_string(nonce());
}

const std::string& ShocketAcceptSm::socketName() const {
    std::lock_guard<std::mutex> guard(mutex_);
    if (pid_ != ::getpid()) rename();
    return name_;
}

// The mutex is held across fork() so that the child never inherits it locked by a thread that
// does not exist there.
void ShocketAcceptSm::prepareFork() { instance().mutex_.lock(); }

void ShocketAcceptSm::parentAfterFork() { instance().mutex_.unlock(); }

void ShocketAcceptSm::childAfterFork() {
    ShocketAcceptSm& sm = instance();
    sm.rename();  // the child is single-threaded here
    sm.mutex_.unlock();
}

}  // namespace Kick
