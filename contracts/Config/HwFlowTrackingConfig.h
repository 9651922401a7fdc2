#pragma once

#include <cstdint>
#include <map>

#include "contracts/Config/FtId.h"
#include "contracts/Kiln/Entity.h"
#include "contracts/Kiln/Notifiee.h"
#include "contracts/Kiln/Ptr.h"
#include "contracts/Kiln/String.h"

namespace HwFlowTracking {

class Config;

// The configuration of one flow tracker: its number and its two aging periods in milliseconds.
// It changes only through its Config (Config::ftConfigIs), which reports each changed field to
// the tracker's notifiees and then the entry to the Config's notifiees.
//
// Thread safety: the thread of the manager that watches it (other threads post their changes to
// that thread's loop with EventLoop::post).
class FtConfig : public Kiln::Entity {
  public:
    static constexpr Kiln::AttributeId ftIdAttribute = 258;
    static constexpr Kiln::AttributeId inactiveTimeoutAttribute = 259;
    static constexpr Kiln::AttributeId activeIntervalAttribute = 260;

    FtConfig(Kiln::Name name, FlowTracking::FtId ftId, std::uint32_t inactiveTimeout,
             std::uint32_t activeInterval)
        : Entity(std::move(name)),
          ftId_(ftId),
          inactiveTimeout_(inactiveTimeout),
          activeInterval_(activeInterval) {}

    FlowTracking::FtId ftId() const { return ftId_; }
    // Milliseconds.
    std::uint32_t inactiveTimeout() const { return inactiveTimeout_; }
    std::uint32_t activeInterval() const { return activeInterval_; }

  private:
    friend class Config;

    // Stores the fields; notifies each one that changed, in attribute order.
    void fieldsIs(FlowTracking::FtId ftId, std::uint32_t inactiveTimeout,
                  std::uint32_t activeInterval);

    FlowTracking::FtId ftId_;
    std::uint32_t inactiveTimeout_;
    std::uint32_t activeInterval_;
};

// The hardware flow-tracking configuration: the trackers' configurations keyed by tracker name.
// Every add, change or removal of an entry notifies the Config's notifiees with
// onAttribute(ftConfigAttribute, &name), `name` a Kiln::String valid during the call.
//
// Thread safety: the manager's thread only (other threads post their changes to its loop).
class Config : public Kiln::Entity {
  public:
    static constexpr Kiln::AttributeId ftConfigAttribute = 258;

    explicit Config(Kiln::Name name) : Entity(std::move(name)) {}

    // The configuration of tracker `name`, or null.
    Kiln::Ptr<const FtConfig> ftConfig(const Kiln::String& name) const;
    // The first entry whose name sorts after `name` (the first entry for an empty name), or
    // null: walks that tolerate changes between steps resume from the last name visited.
    Kiln::Ptr<const FtConfig> ftConfigAfter(const Kiln::String& name) const;
    std::size_t ftConfigs() const { return ftConfigs_.size(); }

    // Adds tracker `name` or changes its fields (the entry keeps its object, so its watchers
    // see the change). Setting the values it already has notifies nothing.
    Kiln::Ptr<const FtConfig> ftConfigIs(const Kiln::String& name, FlowTracking::FtId ftId,
                                         std::uint32_t inactiveTimeout,
                                         std::uint32_t activeInterval);
    // Removes tracker `name`; an absent name changes nothing.
    void ftConfigDel(const Kiln::String& name);

  private:
    void notifyEntry(const Kiln::String& name) const;

    std::map<Kiln::String, Kiln::Ptr<FtConfig>> ftConfigs_;
};

}  // namespace HwFlowTracking
