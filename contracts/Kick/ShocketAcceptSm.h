#pragma once

#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <string>

namespace Kick {

// The process-wide accept state machine of the one socket through which this process's table
// writers wake their readers. For now it only names the socket: an abstract-namespace Unix socket
// name unique to this process, "@flowtable-kick-<pid>.<nonce>", which SharedMem::ShocketName
// parses as owner name "@flowtable-kick-<pid>" and number <nonce>. The nonce is a random number
// below 2^31 drawn for each process, so a later process that reuses the pid gets another name.
//
// A forked child gets its own name: a pthread_atfork child handler renames the instance before
// fork() returns in the child, and socketName() also renames it when it notices a changed pid
// (a child made without the fork handlers).
//
// Thread safety: any thread may call socketName(). The returned reference stays valid for the
// process's lifetime; its text changes only in a newly forked child.
class ShocketAcceptSm {
  public:
    static ShocketAcceptSm& instance();

    const std::string& socketName() const;

    ShocketAcceptSm(const ShocketAcceptSm&) = delete;
    ShocketAcceptSm& operator=(const ShocketAcceptSm&) = delete;

  private:
    ShocketAcceptSm();
    // Names the socket for the calling process; mutex_ held (or the process single-threaded).
    void rename() const;

    static void prepareFork();
    static void parentAfterFork();
    static void childAfterFork();

    mutable std::mutex mutex_;
    mutable pid_t pid_ = 0;
    mutable std::string name_;
};

}  // namespace Kick
