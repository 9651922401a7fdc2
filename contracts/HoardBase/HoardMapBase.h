#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "contracts/Basalt/DebugHandler.h"
#include "contracts/HoardBase/ControlBase.h"
#include "contracts/HoardBase/HoardType.h"
#include "contracts/HoardBase/ReaderCounters.h"
#include "contracts/HoardBase/WriterCounters.h"
#include "contracts/Mem/CollectionDescriptor.h"
#include "contracts/Mem/ReaderSentry.h"
#include "contracts/Mem/RootPath.h"
#include "contracts/Mem/VersionAnchor.h"

namespace Hoard {

// The non-template base of the table facade (Hoard::HoardMap): the facade's virtual interface,
// the state every facade shares (initialized, mode, local), the answers that depend only on that
// state, the corruption handler and the merge of counters across implementations. It is the
// reader sentry's notifiee (Mem::ReaderSentry::Notifiee): the sentry reaches attach, detach,
// notifying, fenixId and the attach-state queries through it. It is the control base a bound
// collection's control object opens the table through (Hoard::ControlBase).
//
// Thread safety: one thread (the table owner's) uses a facade. systemLog() and
// systemLogWriterIs() may be called from any thread.
class HoardMapBase : public Mem::ReaderSentry::Notifiee, public ControlBase {
  public:
    // Writes one line to the system log; replaceable so that tests can capture it.
    using SystemLogWriter = void (*)(const std::string& text);

    explicit HoardMapBase(std::shared_ptr<Basalt::Platform::DebugHandler> debug);
    HoardMapBase(const HoardMapBase&) = delete;
    HoardMapBase& operator=(const HoardMapBase&) = delete;
    ~HoardMapBase() override;

    // ---- The facade's interface, in slot order (0..40; 8 and 9 are the destructor) -------------
    virtual void validateVersionAnchor() = 0;                                            // 0
    virtual Mem::CacheVersionAnchor getCacheVersionAnchor() const = 0;                   // 1
    virtual bool compareVersionAnchor(const Mem::CacheVersionAnchor& anchor) const = 0;  // 2
    virtual void validateVersionAnchorHookIs(std::function<void()> hook) = 0;            // 3
    void init(const Mem::CollectionDescriptor& descriptor) override = 0;                 // 4
    virtual bool initialized() const { return initialized_; }                            // 5
    virtual void cleanup() = 0;                                                          // 6
    virtual std::string name() const = 0;                                                // 7
    virtual Reader::Counters readerCounters() const = 0;                                 // 10
    virtual Writer::Counters writerCounters() const = 0;                                 // 11
    // 12: init() with a descriptor of this mode, local flag and initial size (the other fields
    // at their defaults).
    virtual void init(HoardType mode, bool local, unsigned initialSize);
    virtual void cleanupAndDetach() = 0;                                           // 13
    virtual const RootPath& rootPath() const = 0;                                  // 14
    virtual bool validate() = 0;                                                   // 15
    virtual bool validateFiles(const std::string& name, std::uint32_t count) = 0;  // 16
    int mountStatus() const override = 0;                                          // 17
    virtual HoardType mode() const { return mode_; }                               // 18
    virtual bool localMem() const { return local_; }                               // 19
    virtual std::uint64_t sequence() const = 0;                                    // 20
    std::uint32_t fenixId() const override = 0;                                    // 21
    virtual std::string owner() const = 0;                                         // 22
    virtual void controlDetach() = 0;                                              // 23
    virtual std::uint32_t maxSize() const = 0;                                     // 24
    virtual std::uint32_t capacity() const = 0;                                    // 25
    void notifyingIs(bool notifying) override = 0;                                 // 26
    bool notifying() const override = 0;                                           // 27
    virtual void yieldTimeIs(double seconds) = 0;                                  // 28
    virtual void sampleIs(unsigned sample) = 0;                                    // 29
    virtual void tryAttach() = 0;                                                  // 30
    // 31: initialized, and the table directory exists (a local table has none: initialized).
    virtual bool exists() const;
    virtual bool clientQuiesced(const std::string& readerName) const = 0;  // 32
    virtual bool quiesced() const = 0;                                     // 33
    virtual bool connected() const = 0;                                    // 34
    void attach(const std::string& event) override = 0;                    // 35
    void detach(bool force) override = 0;                                  // 36
    // 37: the mode's text ("writer", "shadow", "reader", "keyshadow"; "" for another value).
    virtual std::string modeStr() const { return hoardTypeText(mode_); }
    // 38: an initialized reader-mode facade whose table is mounted; for the shadow modes also
    // synchronised (mount status 2). Always false in writer or local mode.
    bool readerFullyAttached() const override;
    // 39: an initialized, non-local reader-mode facade that is not serving the writer's table:
    // mount status 0 (on its placeholder) or 3 (a shadow still flushing after a detach).
    virtual bool disconnectedActiveReader() const;
    virtual std::string classType() const = 0;  // 40

    // ---- Corruption ----------------------------------------------------------------------------
    // Reports corruption found in the table: traces `text` at level 0, writes it to the table's
    // "corruption-detected" marker (quietly skipped by a process that may not write there, and
    // for a local table), counts the event, then lets the facade recover (recoverFromCorruption:
    // a writer re-attaches on its next operation, a reader falls back to its placeholder so that
    // its sentry re-attaches). Returns; never throws.
    void doCorruptionDetected(const std::string& text);
    // Corruption reports so far.
    std::uint64_t corruptions() const { return corruptions_; }

    // ---- Counters ------------------------------------------------------------------------------
    // The counters of the current implementation plus those of the implementations this facade
    // has retired (the facade's totals across re-attachments).
    Reader::Counters hoardMapUpdateReaderCounters(const Reader::Counters& current) const;
    Writer::Counters hoardMapUpdateWriterCounters(const Writer::Counters& current) const;
    // Adds an implementation's final counters to the retired totals.
    void hoardMapRetireReaderCounters(const Reader::Counters& counters);
    void hoardMapRetireWriterCounters(const Writer::Counters& counters);

    // ---- Debug handler and system log ----------------------------------------------------------
    const std::shared_ptr<Basalt::Platform::DebugHandler>& debugHandler() const { return debug_; }
    void debugHandlerIs(std::shared_ptr<Basalt::Platform::DebugHandler> debug) {
        debug_ = std::move(debug);
    }
    // Writes `text` through the current system-log writer (by default: openlog with no identity,
    // LOG_PID | LOG_NDELAY, facility LOG_LOCAL5; syslog at LOG_DEBUG with "%s"; closelog).
    static void systemLog(const std::string& text);
    // Installs `writer` (null: the default) and returns the previous one.
    static SystemLogWriter systemLogWriterIs(SystemLogWriter writer);

  protected:
    void initializedIs(bool initialized) { initialized_ = initialized; }
    void modeIs(HoardType mode) { mode_ = mode; }
    void localIs(bool local) { local_ = local; }
    // Whether the facade has an implementation (rootPath() may be called only then).
    virtual bool hasImplementation() const = 0;
    // Called by doCorruptionDetected() after it reported: the facade's recovery.
    virtual void recoverFromCorruption() = 0;

    std::shared_ptr<Basalt::Platform::DebugHandler> debug_;

  private:
    bool initialized_ = false;
    HoardType mode_ = writer;
    bool local_ = false;
    std::uint64_t corruptions_ = 0;
    Reader::Counters retiredReader_;
    Writer::Counters retiredWriter_;
};

}  // namespace Hoard
