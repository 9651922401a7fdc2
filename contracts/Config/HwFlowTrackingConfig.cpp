#include "contracts/Config/HwFlowTrackingConfig.h"

namespace HwFlowTracking {

void FtConfig::fieldsIs(FlowTracking::FtId ftId, std::uint32_t inactiveTimeout,
                        std::uint32_t activeInterval) {
    const bool ftIdChanged = ftId != ftId_;
    const bool inactiveChanged = inactiveTimeout != inactiveTimeout_;
    const bool activeChanged = activeInterval != activeInterval_;
    // All fields are stored before the first notification: a watcher reads a whole entry.
    ftId_ = ftId;
    inactiveTimeout_ = inactiveTimeout;
    activeInterval_ = activeInterval;
    auto* list = notifieeList();
    if (ftIdChanged) list->visit(ftIdAttribute);
    if (inactiveChanged) list->visit(inactiveTimeoutAttribute);
    if (activeChanged) list->visit(activeIntervalAttribute);
}

Kiln::Ptr<const FtConfig> Config::ftConfig(const Kiln::String& name) const {
    const auto it = ftConfigs_.find(name);
    return it == ftConfigs_.end() ? nullptr : Kiln::Ptr<const FtConfig>(it->second);
}

Kiln::Ptr<const FtConfig> Config::ftConfigAfter(const Kiln::String& name) const {
    const auto it = name.empty() ? ftConfigs_.begin() : ftConfigs_.upper_bound(name);
    return it == ftConfigs_.end() ? nullptr : Kiln::Ptr<const FtConfig>(it->second);
}

Kiln::Ptr<const FtConfig> Config::ftConfigIs(const Kiln::String& name, FlowTracking::FtId ftId,
                                             std::uint32_t inactiveTimeout,
                                             std::uint32_t activeInterval) {
    auto [it, added] = ftConfigs_.try_emplace(name);
    Kiln::Ptr<FtConfig> entry = it->second;  // held: a watcher may remove the entry
    if (added) {
        entry = it->second = Kiln::Ptr<FtConfig>(
            new FtConfig(Kiln::Name(name), ftId, inactiveTimeout, activeInterval));
        entry->hasNotificationActiveIs(true);
    } else {
        if (entry->ftId() == ftId && entry->inactiveTimeout() == inactiveTimeout &&
            entry->activeInterval() == activeInterval) {
            return entry;
        }
        entry->fieldsIs(ftId, inactiveTimeout, activeInterval);
    }
    notifyEntry(name);
    return entry;
}

void Config::ftConfigDel(const Kiln::String& name) {
    const auto it = ftConfigs_.find(name);
    if (it == ftConfigs_.end()) return;
    const Kiln::Ptr<FtConfig> entry = it->second;  // outlives the notification
    ftConfigs_.erase(it);
    notifyEntry(name);
}

void Config::notifyEntry(const Kiln::String& name) const {
    const Kiln::String key = name;  // the caller's text may be the entry's own
    notifieeList()->visit(ftConfigAttribute, &key);
}

}  // namespace HwFlowTracking
