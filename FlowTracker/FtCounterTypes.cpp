#include "FlowTracker/FtCounterTypes.h"

#include <cstddef>
#include <limits>
#include <sstream>

#include "FlowTracker/TypeRegistration.h"
#include "contracts/Kiln/ValueTypeDescriptor.h"

namespace Hoard::FlowTracker {

// Offsets and sizes are the counter tables' format.
struct CounterRecordLayout {
    static_assert(sizeof(FlowEntry) == 32 && alignof(FlowEntry) == 8, "FlowEntry is 32 bytes");
    static_assert(offsetof(FlowEntry, flows_) == 0 && offsetof(FlowEntry, expiredFlows_) == 8 &&
                      offsetof(FlowEntry, packets_) == 16 &&
                      offsetof(FlowEntry, lastClearedTime_) == 24,
                  "FlowEntry attributes at 0, 8, 16, 24");
    static_assert(sizeof(FlowCounterKey) == 4, "FlowCounterKey is 4 bytes");
    static_assert(sizeof(FlowGroupCounterKey) == 8 && alignof(FlowGroupCounterKey) == 4,
                  "FlowGroupCounterKey is 8 bytes, 4-aligned");
    static_assert(offsetof(FlowGroupCounterKey, ftId_) == 0 &&
                      offsetof(FlowGroupCounterKey, fgId_) == 4 &&
                      offsetof(FlowGroupCounterKey, padding_) == 6,
                  "FlowGroupCounterKey: ftId at 0, fgId at 4, padding at 6");
    static_assert(sizeof(FlowCounterEntry) == 40 && sizeof(FlowGroupCounterEntry) == 40,
                  "counter entries are 40 bytes");
    static_assert(offsetof(FlowCounterEntry, key_) == 0 &&
                      offsetof(FlowCounterEntry, flowEntry_) == 8 &&
                      offsetof(FlowGroupCounterEntry, key_) == 0 &&
                      offsetof(FlowGroupCounterEntry, flowEntry_) == 8,
                  "counter entries: key at 0, flowEntry at 8");
    static_assert(std::is_trivially_copyable_v<FlowCounterEntry> &&
                      std::is_trivially_copyable_v<FlowGroupCounterEntry>,
                  "counter records are copied byte for byte into shared memory");
};

FlowEntry::FlowEntry(Kiln::String::IteratorConst& pos, Kiln::String::IteratorConst end) {
    Kiln::ValueText::read(typeName, *this, pos, end);
}

Kiln::String FlowEntry::hoardString() const {
    const Kiln::Seconds age = lastClearedTime_ == 0.0
                                  ? std::numeric_limits<Kiln::Seconds>::infinity()
                                  : Kiln::System::currentTime() - lastClearedTime_;
    std::ostringstream os;
    os << "flows: " << flows_ << ", expiredFlows: " << expiredFlows_ << ", packets: " << packets_
       << ", cleared: " << age;
    return Kiln::String(os.str());
}

Kiln::String FlowCounterKey::hoardString() const {
    return Kiln::String(" Total counters: ") + Kiln::valueToStrep(key_);
}

FlowGroupCounterKey::FlowGroupCounterKey(Kiln::String::IteratorConst& pos,
                                         Kiln::String::IteratorConst end) {
    Kiln::ValueText::read(typeName, *this, pos, end);
}

Kiln::String FlowGroupCounterKey::hoardString() const {
    std::ostringstream os;
    os << " ftId: " << ftId_ << ", fgId: " << fgId_;
    return Kiln::String(os.str());
}

FlowCounterEntry::FlowCounterEntry(Kiln::String::IteratorConst& pos,
                                   Kiln::String::IteratorConst end) {
    Kiln::ValueText::read(typeName, *this, pos, end);
}

FlowGroupCounterEntry::FlowGroupCounterEntry(Kiln::String::IteratorConst& pos,
                                             Kiln::String::IteratorConst end) {
    Kiln::ValueText::read(typeName, *this, pos, end);
}

Kiln::String valueToStrep(const FlowEntry& v) {
    return Kiln::ValueText::write(FlowEntry::typeName, v);
}
Kiln::String valueToStrep(const FlowCounterKey& v) { return Kiln::valueToStrep(v.key()); }
Kiln::String valueToStrep(const FlowGroupCounterKey& v) {
    return Kiln::ValueText::write(FlowGroupCounterKey::typeName, v);
}
Kiln::String valueToStrep(const FlowCounterEntry& v) {
    return Kiln::ValueText::write(FlowCounterEntry::typeName, v);
}
Kiln::String valueToStrep(const FlowGroupCounterEntry& v) {
    return Kiln::ValueText::write(FlowGroupCounterEntry::typeName, v);
}

std::ostream& operator<<(std::ostream& os, const FlowEntry& v) { return os << valueToStrep(v); }
std::ostream& operator<<(std::ostream& os, const FlowCounterKey& v) {
    return os << valueToStrep(v);
}
std::ostream& operator<<(std::ostream& os, const FlowGroupCounterKey& v) {
    return os << valueToStrep(v);
}
std::ostream& operator<<(std::ostream& os, const FlowCounterEntry& v) {
    return os << valueToStrep(v);
}
std::ostream& operator<<(std::ostream& os, const FlowGroupCounterEntry& v) {
    return os << valueToStrep(v);
}

// ---- Type records ----------------------------------------------------------------------------

using FlowTracking::LibraryType;
using FlowTracking::typeNameOf;

constinit Kiln::KilnType FlowEntry::_kilnType{typeNameOf(LibraryType::flowEntry)};
constinit Kiln::KilnType FlowCounterKey::_kilnType{typeNameOf(LibraryType::flowCounterKey)};
constinit Kiln::KilnType FlowGroupCounterKey::_kilnType{
    typeNameOf(LibraryType::flowGroupCounterKey)};
constinit Kiln::KilnType FlowCounterEntry::_kilnType{typeNameOf(LibraryType::flowCounterEntry)};
constinit Kiln::KilnType FlowGroupCounterEntry::_kilnType{
    typeNameOf(LibraryType::flowGroupCounterEntry)};

// The names the tables write into their headers are the registered names.
static_assert(typeNameOf(LibraryType::flowEntry) == FlowEntry::typeName);
static_assert(typeNameOf(LibraryType::flowGroupCounterKey) == FlowGroupCounterKey::typeName);
static_assert(typeNameOf(LibraryType::flowCounterEntry) == FlowCounterEntry::typeName);
static_assert(typeNameOf(LibraryType::flowGroupCounterEntry) == FlowGroupCounterEntry::typeName);

namespace {

using Access = Kiln::KilnType::Access;

// A counter record: its key fixed, its counters writable, then its display text. Made from
// its key alone, the counters zero.
template <class Entry, class Key>
void describeCounterEntry() {
    Kiln::ValueTypeDescriptor<Entry>(Entry::_kilnType)
        .template ctorArgs<Key>()
        .textAttributes(2, Access::readWrite, {"key"})
        .function(4, "hoardString", &Entry::hoardString)
        .install();
}

}  // namespace

}  // namespace Hoard::FlowTracker

namespace FlowTracking {

void describeFtCounterValueTypes() {
    using namespace Hoard::FlowTracker;
    Kiln::ValueTypeDescriptor<FlowEntry>(FlowEntry::_kilnType)
        .ctorArgs<std::uint64_t, std::uint64_t, std::uint64_t, Kiln::Seconds>()
        .textAttributes(2, Access::readWrite)
        .function(6, "hoardString", &FlowEntry::hoardString)
        .install();
    // The total counters' key is one number, not a record with a value text of its own.
    Kiln::ValueTypeDescriptor<FlowCounterKey>(FlowCounterKey::_kilnType)
        .key()
        .ctorArgs<std::uint32_t>()
        .readOnly(2, "key", &FlowCounterKey::key)
        .function(3, "hoardString", &FlowCounterKey::hoardString)
        .function(4, "hash",
                  [](const FlowCounterKey& k) { return Kiln::hashSingleAttr(0, k.key()); })
        .install();
    Kiln::ValueTypeDescriptor<FlowGroupCounterKey>(FlowGroupCounterKey::_kilnType)
        .key()
        .ctorArgs<FtId, TemplateId>()
        .textAttributes(2, Access::readOnly)
        .function(4, "hoardString", &FlowGroupCounterKey::hoardString)
        .function(5, "hash", [](const FlowGroupCounterKey& k) { return k.hash(0); })
        .install();
    describeCounterEntry<FlowCounterEntry, FlowCounterKey>();
    describeCounterEntry<FlowGroupCounterEntry, FlowGroupCounterKey>();
}

}  // namespace FlowTracking
