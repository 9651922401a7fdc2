#pragma once

// The flow-tracking counter records: plain values stored byte for byte in the two counter tables
// that other processes read (total counters under a number, and counters per tracker and flow
// group). No pointers; padding zeroed and never read.

#include <cstdint>
#include <ostream>

#include "contracts/Config/FtId.h"
#include "contracts/Config/TemplateId.h"
#include "contracts/Kiln/Hash.h"
#include "contracts/Kiln/KilnType.h"
#include "contracts/Kiln/String.h"
#include "contracts/Kiln/System.h"
#include "contracts/Kiln/TextForm.h"
#include "contracts/Kiln/ValueText.h"

namespace Hoard::FlowTracker {

struct CounterRecordLayout;

// One set of counters: flows, expired flows, packets, and when they were last cleared (0: never).
class FlowEntry {
  public:
    // The type record; registered when the library loads.
    static Kiln::KilnType _kilnType;
    static constexpr const char* typeName = "Hoard::FlowTracker::FlowEntry";

    FlowEntry() = default;
    FlowEntry(std::uint64_t flows, std::uint64_t expiredFlows, std::uint64_t packets,
              Kiln::Seconds lastClearedTime)
        : flows_(flows),
          expiredFlows_(expiredFlows),
          packets_(packets),
          lastClearedTime_(lastClearedTime) {}
    FlowEntry(Kiln::String::IteratorConst& pos, Kiln::String::IteratorConst end);

    std::uint64_t flows() const { return flows_; }
    void flowsIs(std::uint64_t v) { flows_ = v; }
    std::uint64_t expiredFlows() const { return expiredFlows_; }
    void expiredFlowsIs(std::uint64_t v) { expiredFlows_ = v; }
    std::uint64_t packets() const { return packets_; }
    void packetsIs(std::uint64_t v) { packets_ = v; }
    Kiln::Seconds lastClearedTime() const { return lastClearedTime_; }
    void lastClearedTimeIs(Kiln::Seconds v) { lastClearedTime_ = v; }

    // A NaN time is equal to nothing.
    friend bool operator==(const FlowEntry& a, const FlowEntry& b) {
        return Kiln::ValueText::equal(a, b);
    }
    // "flows: 1, expiredFlows: 0, packets: 9, cleared: <seconds since the clearing, or inf>".
    Kiln::String hoardString() const;

  private:
    friend struct CounterRecordLayout;
    friend struct Kiln::ValueText;
    template <class Visitor, class... Self>
    static void forEachAttribute(Visitor&& visit, Self&... self) {
        visit("flows", self.flows_...);
        visit("expiredFlows", self.expiredFlows_...);
        visit("packets", self.packets_...);
        visit("lastClearedTime", self.lastClearedTime_...);
    }

    std::uint64_t flows_ = 0;
    std::uint64_t expiredFlows_ = 0;
    std::uint64_t packets_ = 0;
    Kiln::Seconds lastClearedTime_ = 0.0;
};

// The key of the total counters: one unsigned number (0 holds the overall counters). Its value
// text is the bare number, not a Value(...) frame. Hashed as Kiln::hashSingleAttr(seed, key).
class FlowCounterKey {
  public:
    // The type record; registered when the library loads.
    static Kiln::KilnType _kilnType;
    FlowCounterKey() = default;
    explicit FlowCounterKey(std::uint32_t key) : key_(key) {}
    // Reads the number under the attribute name "key".
    FlowCounterKey(Kiln::String::IteratorConst& pos, Kiln::String::IteratorConst end)
        : key_(Kiln::deserializeAttr<std::uint32_t>(pos, end, "key")) {}

    std::uint32_t key() const { return key_; }

    friend bool operator==(const FlowCounterKey&, const FlowCounterKey&) = default;
    friend bool operator<(const FlowCounterKey& a, const FlowCounterKey& b) {
        return a.key_ < b.key_;
    }
    // " Total counters: 3".
    Kiln::String hoardString() const;

  private:
    std::uint32_t key_ = 0;
};

// The key of one flow group's counters: tracker and template; the template defaults to 65535,
// the number reserved for a tracker's clear-time entry.
class FlowGroupCounterKey {
  public:
    // The type record; registered when the library loads.
    static Kiln::KilnType _kilnType;
    static constexpr const char* typeName = "Hoard::FlowTracker::FlowGroupCounterKey";

    FlowGroupCounterKey() = default;
    FlowGroupCounterKey(FlowTracking::FtId ftId, FlowTracking::TemplateId fgId)
        : ftId_(ftId), fgId_(fgId) {}
    FlowGroupCounterKey(Kiln::String::IteratorConst& pos, Kiln::String::IteratorConst end);

    FlowTracking::FtId ftId() const { return ftId_; }
    FlowTracking::TemplateId fgId() const { return fgId_; }

    // Frozen: counter tables place keys by hash(table's hash seed).
    std::uint32_t hash(std::uint32_t seed) const {
        Kiln::Hash h(seed);
        h.hashMix<4>(ftId_.value());
        h.hashMix<4>(Kiln::hashSingleAttr(0, fgId_));
        return h.result();
    }

    friend bool operator==(const FlowGroupCounterKey& a, const FlowGroupCounterKey& b) {
        return a.ftId_ == b.ftId_ && a.fgId_ == b.fgId_;
    }
    // By ftId, then fgId, both unsigned.
    friend bool operator<(const FlowGroupCounterKey& a, const FlowGroupCounterKey& b) {
        if (a.ftId_ != b.ftId_) return a.ftId_ < b.ftId_;
        return a.fgId_ < b.fgId_;
    }
    // " ftId: 1, fgId: 5".
    Kiln::String hoardString() const;

  private:
    friend struct CounterRecordLayout;
    friend struct Kiln::ValueText;
    template <class Visitor, class... Self>
    static void forEachAttribute(Visitor&& visit, Self&... self) {
        visit("ftId", self.ftId_...);
        visit("fgId", self.fgId_...);
    }

    FlowTracking::FtId ftId_{0};
    FlowTracking::TemplateId fgId_{FlowTracking::TemplateId::clearTimeValue};
    [[maybe_unused]] std::uint8_t padding_[2] = {};  // never read
};

// A counter set under its key; 40 bytes. The key is fixed at construction.
template <class Key>
class BasicCounterEntry {
  public:
    BasicCounterEntry() = default;
    explicit BasicCounterEntry(const Key& key, const FlowEntry& flowEntry = FlowEntry())
        : key_(key), flowEntry_(flowEntry) {}

    const Key& key() const { return key_; }
    const FlowEntry& flowEntry() const { return flowEntry_; }
    void flowEntryIs(const FlowEntry& v) { flowEntry_ = v; }

    friend bool operator==(const BasicCounterEntry& a, const BasicCounterEntry& b) {
        return a.key_ == b.key_ && a.flowEntry_ == b.flowEntry_;
    }
    // "[" key's hoardString "] " flowEntry's hoardString.
    Kiln::String hoardString() const {
        return Kiln::String("[") + key_.hoardString() + "] " + flowEntry_.hoardString();
    }

  protected:
    friend struct CounterRecordLayout;
    friend struct Kiln::ValueText;
    template <class Visitor, class... Self>
    static void forEachAttribute(Visitor&& visit, Self&... self) {
        visit("key", self.key_...);
        visit("flowEntry", self.flowEntry_...);
    }

    Key key_{};
    alignas(8) FlowEntry flowEntry_{};
};

class FlowCounterEntry : public BasicCounterEntry<FlowCounterKey> {
  public:
    // The type record; registered when the library loads.
    static Kiln::KilnType _kilnType;
    static constexpr const char* typeName = "Hoard::FlowTracker::FlowCounterEntry";
    using BasicCounterEntry::BasicCounterEntry;
    FlowCounterEntry(Kiln::String::IteratorConst& pos, Kiln::String::IteratorConst end);
};

class FlowGroupCounterEntry : public BasicCounterEntry<FlowGroupCounterKey> {
  public:
    // The type record; registered when the library loads.
    static Kiln::KilnType _kilnType;
    static constexpr const char* typeName = "Hoard::FlowTracker::FlowGroupCounterEntry";
    using BasicCounterEntry::BasicCounterEntry;
    FlowGroupCounterEntry(Kiln::String::IteratorConst& pos, Kiln::String::IteratorConst end);
};

// Value texts and their stream form. FlowCounterKey's is its bare number.
Kiln::String valueToStrep(const FlowEntry& v);
Kiln::String valueToStrep(const FlowCounterKey& v);
Kiln::String valueToStrep(const FlowGroupCounterKey& v);
Kiln::String valueToStrep(const FlowCounterEntry& v);
Kiln::String valueToStrep(const FlowGroupCounterEntry& v);
std::ostream& operator<<(std::ostream& os, const FlowEntry& v);
std::ostream& operator<<(std::ostream& os, const FlowCounterKey& v);
std::ostream& operator<<(std::ostream& os, const FlowGroupCounterKey& v);
std::ostream& operator<<(std::ostream& os, const FlowCounterEntry& v);
std::ostream& operator<<(std::ostream& os, const FlowGroupCounterEntry& v);

}  // namespace Hoard::FlowTracker
