#include "contracts/HoardBase/HoardMapBase.h"

#include <syslog.h>

#include <atomic>
#include <exception>

#include "contracts/HoardBase/MapDescriptor.h"
#include "contracts/HoardBase/Util.h"

namespace Hoard {

namespace {

void defaultSystemLog(const std::string& text) {
    ::openlog(nullptr, LOG_PID | LOG_NDELAY, LOG_LOCAL5);
    ::syslog(LOG_DEBUG, "%s", text.c_str());
    ::closelog();
}

std::atomic<HoardMapBase::SystemLogWriter> systemLogWriter{&defaultSystemLog};

}  // namespace

HoardMapBase::HoardMapBase(std::shared_ptr<Basalt::Platform::DebugHandler> debug)
    : debug_(std::move(debug)) {}

HoardMapBase::~HoardMapBase() = default;

void HoardMapBase::init(HoardType mode, bool local, unsigned initialSize) {
    MapDescriptor descriptor;
    descriptor.mode = mode;
    descriptor.local = local;
    descriptor.initialSize = initialSize;
    init(descriptor);
}

bool HoardMapBase::exists() const {
    if (!initialized_ || !hasImplementation()) return false;
    return local_ || rootPath().exists();
}

bool HoardMapBase::readerFullyAttached() const {
    if (!initialized_ || local_ || mode_ == writer) return false;
    const int status = mountStatus();
    return mode_ == reader ? status == 1 : status == 2;
}

bool HoardMapBase::disconnectedActiveReader() const {
    if (!initialized_ || local_ || mode_ == writer) return false;
    const int status = mountStatus();
    return status == 0 || status == 3;
}

void HoardMapBase::doCorruptionDetected(const std::string& text) {
    try {
        const bool present = hasImplementation();
        if (present) {
            BASALT_TRACE(debug_, 0,
                         "HoardMapBase::doCorruptionDetected() " << rootPath() << " " << text);
        } else {
            BASALT_TRACE(debug_, 0, "HoardMapBase::doCorruptionDetected() " << text);
        }
        ++corruptions_;
        // writeCorruptionFile never throws; a reader without permission skips it quietly.
        if (present && !local_) Util::writeCorruptionFile(rootPath(), text);
        recoverFromCorruption();
    } catch (const std::exception& e) {
        // The callers (safeLookup, iteration, counter maintenance) rely on this returning.
        BASALT_TRACE(debug_, 0,
                     "HoardMapBase::doCorruptionDetected() recovery failed: " << e.what());
    }
}

Reader::Counters HoardMapBase::hoardMapUpdateReaderCounters(const Reader::Counters& c) const {
    Reader::Counters r = retiredReader_;
    r.lookups += c.lookups;
    r.retries += c.retries;
    r.slowPaths += c.slowPaths;
    r.lookasideReads += c.lookasideReads;
    r.remaps += c.remaps;
    r.baseMoves += c.baseMoves;
    r.corruptions += c.corruptions;
    return r;
}

Writer::Counters HoardMapBase::hoardMapUpdateWriterCounters(const Writer::Counters& c) const {
    Writer::Counters r = retiredWriter_;
    r.allocs += c.allocs;
    r.grows += c.grows;
    r.remaps += c.remaps;
    r.shrinks += c.shrinks;
    r.movedRecords += c.movedRecords;
    r.pendingTombstones = c.pendingTombstones;  // a level, not a count: the current writer's
    r.writes += c.writes;
    r.overwrites += c.overwrites;
    r.removes += c.removes;
    r.bucketGrows += c.bucketGrows;
    r.bucketShrinks += c.bucketShrinks;
    r.repairs += c.repairs;
    return r;
}

void HoardMapBase::hoardMapRetireReaderCounters(const Reader::Counters& counters) {
    retiredReader_ = hoardMapUpdateReaderCounters(counters);
}

void HoardMapBase::hoardMapRetireWriterCounters(const Writer::Counters& counters) {
    retiredWriter_ = hoardMapUpdateWriterCounters(counters);
    retiredWriter_.pendingTombstones = 0;
}

void HoardMapBase::systemLog(const std::string& text) { systemLogWriter.load()(text); }

HoardMapBase::SystemLogWriter HoardMapBase::systemLogWriterIs(SystemLogWriter writer) {
    return systemLogWriter.exchange(writer != nullptr ? writer : &defaultSystemLog);
}

}  // namespace Hoard
