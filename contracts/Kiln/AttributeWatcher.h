#pragma once

#include <functional>
#include <utility>

#include "contracts/Kiln/Notifiee.h"

namespace Kiln {

// A notifiee that calls `fn` each time its notifier reports `attribute` (a task's run, a timer's
// firing, a FIFO event turning readable). Registered on construction; the notifier's list holds
// it. cancel() makes it call nothing and leave the list: an owner that goes before the notifier
// (a task may still be queued on its scheduler) cancels its watcher first.
//
// Thread safety: the notifier's thread only.
class AttributeWatcher : public PtrInterface::NotifieeConst {
  public:
    AttributeWatcher(const PtrInterface* notifier, AttributeId attribute, std::function<void()> fn)
        : attribute_(attribute), fn_(std::move(fn)) {
        hasNotificationActiveIs(true);
        notifierIs(notifier);
        isRegisteredNotifieeIs(true);
    }
    void onAttribute(AttributeId id) override {
        if (id == attribute_ && fn_) fn_();
    }
    void cancel() {
        fn_ = nullptr;
        if (isRegisteredNotifiee()) isRegisteredNotifieeIs(false);
    }

  private:
    const AttributeId attribute_;
    std::function<void()> fn_;
};

}  // namespace Kiln
