#pragma once

#include <functional>
#include <utility>

#include "contracts/Kiln/Notifiee.h"

namespace TestSupport {

// A notifiee that calls `fn` each time its notifier reports `attribute`. Registered on
// construction; the notifier's list holds it, so a test may drop its own reference.
class AttributeWatcher : public Kiln::PtrInterface::NotifieeConst {
  public:
    AttributeWatcher(const Kiln::PtrInterface* notifier, Kiln::AttributeId attribute,
                     std::function<void()> fn)
        : attribute_(attribute), fn_(std::move(fn)) {
        hasNotificationActiveIs(true);
        notifierIs(notifier);
        isRegisteredNotifieeIs(true);
    }
    void onAttribute(Kiln::AttributeId id) override {
        if (id == attribute_) fn_();
    }

  private:
    const Kiln::AttributeId attribute_;
    std::function<void()> fn_;
};

}  // namespace TestSupport
