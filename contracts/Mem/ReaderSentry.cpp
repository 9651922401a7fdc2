#include "contracts/Mem/ReaderSentry.h"

#include "contracts/HoardBase/BucketTable.h"
#include "contracts/HoardBase/Util.h"
#include "contracts/Mem/WriterLock.h"
#include "contracts/SharedMem/FenixFile.h"

namespace Mem {

namespace {

// The writer's slot file (Hoard::SlotTable::slotsFileName, named here because the slot table
// lives above this layer).
constexpr const char* kSlotsFileName = "slots";

}  // namespace

const char* readerSentryEventText(ReaderSentry::Event event) {
    switch (event) {
        case ReaderSentry::Event::none:
            return "none";
        case ReaderSentry::Event::attached:
            return "attached";
        case ReaderSentry::Event::detached:
            return "detached";
        case ReaderSentry::Event::reattached:
            return "reattached";
    }
    return "";
}

ReaderSentry::ReaderSentry(std::shared_ptr<Basalt::Platform::DebugHandler> debug,
                           Notifiee* notifiee, const RootPath& rootPath)
    : debug_(std::move(debug)), notifiee_(notifiee), rootPath_(rootPath) {}

bool ReaderSentry::writerReady(std::string* why) const {
    std::string reason;
    bool ready = true;
    if (SharedMem::FenixFile(debug_, rootPath_).read().isNull()) {
        reason = "no fenix id in " + rootPath_.filePath(SharedMem::FenixFile::kFileName);
        ready = false;
    } else if (!Hoard::Util::validateFile(rootPath_.filePath(Hoard::BucketTable::fileName), 1,
                                          reason) ||
               !Hoard::Util::validateFile(rootPath_.filePath(kSlotsFileName), 1, reason)) {
        ready = false;
    } else if (!WriterLock::ownerIsAlive(rootPath_)) {
        reason = "no live writer holds the writer lock";
        ready = false;
    }
    if (why != nullptr) *why = reason;
    return ready;
}

bool ReaderSentry::tryAttach(const std::string& event) {
    std::string why;
    if (!writerReady(&why)) {
        BASALT_TRACE(debug_, 2, "ReaderSentry::tryAttach() " << rootPath_ << " not ready: " << why);
        return false;
    }
    ++attachAttempts_;
    notifiee_->attach(event);
    attached_ = notifiee_->mountStatus() != 0;
    BASALT_TRACE(debug_, 2,
                 "ReaderSentry::tryAttach() " << rootPath_ << " event:" << event
                                              << " attached:" << attached_);
    return attached_;
}

void ReaderSentry::start(const std::string& reason) {
    BASALT_TRACE(debug_, 2, "ReaderSentry::start() " << rootPath_ << " reason:" << reason);
    if (notifiee_->mountStatus() != 0) {
        attached_ = true;
        return;
    }
    tryAttach(reason);
}

ReaderSentry::Event ReaderSentry::poll() {
    if (!attached_ || notifiee_->mountStatus() == 0) {
        attached_ = false;
        return tryAttach("ReaderSentry::poll() writer appeared") ? Event::attached : Event::none;
    }
    if (!WriterLock::ownerIsAlive(rootPath_)) {
        BASALT_TRACE(debug_, 1, "ReaderSentry::poll() " << rootPath_ << " writer died, detaching");
        attached_ = false;
        // Not forced: a shadow keeps serving its copy until its flush has run.
        notifiee_->detach(false);
        return Event::detached;
    }
    const std::uint32_t now = SharedMem::FenixFile(debug_, rootPath_).read().value();
    const std::uint32_t mounted = notifiee_->fenixId();
    if (now == mounted) return Event::none;
    BASALT_TRACE(debug_, 1,
                 "ReaderSentry::poll() " << rootPath_ << " writer restarted, fenixId:" << mounted
                                         << " now:" << now << ", detaching");
    attached_ = false;
    notifiee_->detach(false);
    return tryAttach("ReaderSentry::poll() writer restarted") ? Event::reattached : Event::detached;
}

}  // namespace Mem
