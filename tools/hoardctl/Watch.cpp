// hoardctl watch: follows a counter table through a shadow (a local copy that applies the
// writer's notification queue and wakes on its doorbell) on a Loom loop served by the main
// thread, and prints each changed key.
//
// What is printed: the records the table holds when the watcher first has a whole copy of it are
// its starting point and are not printed; from then on every key whose record differs from the
// one last seen is printed once per change the copy observed, as its value text, and a key that
// is gone as its key text followed by " removed". A rewrite that leaves a record as it was prints
// nothing. When the writer goes away the copy is kept (nothing is printed); when a writer comes
// back the new copy is compared with the last one seen, so a writer restart prints only what
// differs across it. Several writes of one key between two passes of the copy may be seen as
// one change (the queue names slots, and the copy reads their latest contents).

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <unordered_map>

#include "Hoard/TableKind.h"
#include "contracts/Basalt/Exception.h"
#include "contracts/HoardBase/IterHint.h"
#include "contracts/Kiln/GenericValue.h"
#include "contracts/Kiln/System.h"
#include "contracts/Loom/EventLoop.h"
#include "tools/hoardctl/CommandSupport.h"
#include "tools/hoardctl/TableFiles.h"

namespace Hoardctl {

namespace {

// How often the reader sentry looks for a writer that appeared, died or restarted.
constexpr Kiln::Seconds sentryInterval = 0.1;

// SIGINT and SIGTERM as a readable descriptor: blocked for the process (so no handler runs
// and threads started later inherit the mask) and read from a signalfd the loop watches.
class StopSignals {
  public:
    StopSignals() {
        ::sigemptyset(&set_);
        ::sigaddset(&set_, SIGINT);
        ::sigaddset(&set_, SIGTERM);
        if (::sigprocmask(SIG_BLOCK, &set_, &previous_) != 0 ||
            (fd_ = ::signalfd(-1, &set_, SFD_CLOEXEC | SFD_NONBLOCK)) < 0) {
            throw Failure(std::string("cannot watch for signals: ") + std::strerror(errno));
        }
    }
    ~StopSignals() {
        ::close(fd_);
        ::sigprocmask(SIG_SETMASK, &previous_, nullptr);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    int fd() const { return fd_; }
    // Consumes the pending signals.
    void drain() const {
        signalfd_siginfo info;
        while (::read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        }
    }

  private:
    sigset_t set_;
    sigset_t previous_;
    int fd_ = -1;
};

// The shadow of one table and what its owner remembers of it: each key's text with the text of
// the record last seen (printed, or part of the starting point).
class Watcher {
  public:
    // `limit`: stop the loop after this many printed changes; 0 for no limit. The calling
    // thread must be bound to `loop` (the shadow's tasks and doorbell land on it). `kind` must
    // have a change queue.
    Watcher(Context& ctx, const Hoard::TableKind& kind, const std::string& table,
            std::uint64_t limit, Loom::EventLoop& loop)
        : ctx_(ctx),
          kind_(kind),
          limit_(limit),
          loop_(loop),
          shadow_(kind.openShadow(
              table, {[this](const void* key) { keyChanged(key); }, [this] { copyChanged(); }})) {
        shadow_->start();
        armSentry();
    }
    ~Watcher() { loop_.timerDel(sentryTimer_); }
    Watcher(const Watcher&) = delete;
    Watcher& operator=(const Watcher&) = delete;

    bool outputFailed() const { return outputFailed_; }

  private:
    void armSentry() {
        sentryTimer_ = loop_.timerNew(Kiln::System::monotonicTime() + sentryInterval, [this] {
            shadow_->pollSentry();
            armSentry();
        });
    }
    // Inside the key's callback the copy holds its latest record, or none when it is gone.
    void keyChanged(const void* key) {
        if (!started_) return;
        const std::string keyText = valueText(kind_.newKey(key));
        Kiln::GenericValue value = kind_.newValue();
        if (shadow_->lookup(key, value.get())) {
            seen(keyText, valueText(value));
        } else if (last_.erase(keyText) != 0) {
            print(keyText + " removed");
        }
    }
    // A whole copy (mount status 2) after a synchronisation: the first is the starting point; a
    // later one follows a writer restart and is compared with what was seen before it.
    void copyChanged() {
        if (shadow_->mountStatus() != 2) return;
        std::unordered_map<std::string, std::string> now;
        Kiln::GenericValue value = kind_.newValue();
        Kiln::GenericValue key = kind_.newKey();
        Hoard::IterHint hint;
        for (bool more = shadow_->first(value.get(), hint); more;
             more = shadow_->next(value.get(), hint)) {
            kind_.keyOf(value.get(), key.get());
            now.emplace(valueText(key), valueText(value));
        }
        if (started_) {
            for (const auto& [keyText, valueText] : now) seen(keyText, valueText);
            for (const auto& [keyText, valueText] : last_) {
                if (!now.count(keyText)) print(keyText + " removed");
            }
        }
        last_ = std::move(now);
        started_ = true;
    }
    void seen(const std::string& keyText, const std::string& valueText) {
        auto [it, added] = last_.try_emplace(keyText, valueText);
        if (!added) {
            if (it->second == valueText) return;
            it->second = valueText;
        }
        print(valueText);
    }
    void print(const std::string& line) {
        if (done_) return;
        ctx_.out << line << '\n';
        ctx_.out.flush();  // a pipe reader sees each change as it happens
        if (!ctx_.out) {
            outputFailed_ = true;
            stop();
        } else if (++printed_ == limit_) {
            stop();
        }
    }
    void stop() {
        done_ = true;
        loop_.stop();
    }

    Context& ctx_;
    const Hoard::TableKind& kind_;
    const std::uint64_t limit_;
    Loom::EventLoop& loop_;
    std::unordered_map<std::string, std::string> last_;
    bool started_ = false;  // the starting point is taken
    bool done_ = false;
    bool outputFailed_ = false;
    std::uint64_t printed_ = 0;
    Loom::EventLoop::TimerId sentryTimer_ = 0;
    std::unique_ptr<Hoard::TableKind::Shadow> shadow_;
};

}  // namespace

int commandWatch(Context& ctx, const Args& args) {
    requireOperands(args, 1, 1, "watch");
    const TableFiles t = existingTable(ctx, args[0]);
    const Hoard::TableKind& kind = kindOf(t);
    if (!kind.hasQueue()) {
        throw Failure("table " + t.name + " holds " + std::string(kind.valueTypeName()) +
                      " values, which have no change queue; watch follows counter tables only");
    }
    const StopSignals signals;
    Kiln::Ptr<Loom::EventLoop> loop = new Loom::EventLoop;
    const Loom::EventLoop::ThreadBinding binding(loop.ptr());
    bool failed = false;
    {
        Watcher watcher(ctx, kind, t.name, ctx.count, *loop);
        loop->watchFd(signals.fd(), [&] {
            signals.drain();
            loop->stop();
        });
        loop->run();
        loop->unwatchFd(signals.fd());
        failed = watcher.outputFailed();
    }
    if (failed) throw Failure("cannot write to standard output");
    return 0;
}

}  // namespace Hoardctl
