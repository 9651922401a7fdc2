#pragma once

#include "contracts/Kiln/Entity.h"
#include "contracts/Kiln/String.h"
#include "contracts/Kiln/System.h"

namespace FlowTracking {

// The flow-tracking configuration. The manager only keeps it referenced; the agent owns what
// it holds.
//
// Thread safety: the manager's thread only (other threads post their changes to its loop).
class Config : public Kiln::Entity {
  public:
    explicit Config(Kiln::Name name) : Entity(std::move(name)) {}
};

// A request to clear flow-tracking counters: of the tracker named `trackerName`, or of every
// tracker when the name is empty. `requestTime` (wall-clock seconds) 0 means no request;
// `detail` is free text for the requester.
struct ClearCountersReq {
    Kiln::String trackerName;
    Kiln::String detail;
    Kiln::Seconds requestTime = 0;
};

// The request entity: requests to the flow-tracking manager. Setting the clear-counters request
// notifies onAttribute(clearCountersReqAttribute), also when it equals the previous one (asking
// twice clears twice).
//
// Thread safety: the manager's thread only (other threads post their changes to its loop).
class ConfigReq : public Kiln::Entity {
  public:
    static constexpr Kiln::AttributeId clearCountersReqAttribute = 258;

    explicit ConfigReq(Kiln::Name name) : Entity(std::move(name)) {}

    const ClearCountersReq& clearCountersReq() const { return clearCountersReq_; }
    void clearCountersReqIs(const ClearCountersReq& req) {
        clearCountersReq_ = req;
        if (auto* list = notifieeList()) list->visit(clearCountersReqAttribute);
    }

  private:
    ClearCountersReq clearCountersReq_;
};

}  // namespace FlowTracking
