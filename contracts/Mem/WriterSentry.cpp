#include "contracts/Mem/WriterSentry.h"

namespace Mem {

WriterSentry::WriterSentry(std::shared_ptr<Basalt::Platform::DebugHandler> debug,
                           Notifiee* notifiee, const RootPath& rootPath)
    : debug_(std::move(debug)), notifiee_(notifiee), rootPath_(rootPath) {}

void WriterSentry::start(const std::string& reason) {
    fenix_ = notifiee_ != nullptr ? notifiee_->fenixId() : 0;
    published_ = true;
    attached_ = true;
    ++starts_;
    BASALT_TRACE(
        debug_, 2,
        "WriterSentry::start() " << rootPath_ << " reason:" << reason << " fenixId:" << fenix_);
}

}  // namespace Mem
