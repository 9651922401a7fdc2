#pragma once

#include <functional>
#include <type_traits>
#include <utility>

#include "contracts/HoardBase/Ops.h"

namespace KilnHoard {

// One record of a bound collection as its table stores it: exactly one V, with V's size and
// layout (the wrapper adds no member), so a slot holds the record's own bytes and every process,
// wrapped or not, reads them as a V with V's type name in the table header. fwkKey() is the key
// the table's Ops index by.
//
// `flag` tells the two record families apart and carries the tables' hash rule: true for the
// flow records, whose keys hash with seed 0 in every table, false for the counter records, whose
// keys hash with the seed the table's header holds.
//
// Thread safety: a plain value.
template <class V, class K, auto keyOf, bool flag>
class KilnHoardMapValueWrapper : public V {
  public:
    using Value = V;
    using Key = K;
    static constexpr bool hashSeedZero = flag;

    // The value's defaults.
    KilnHoardMapValueWrapper() = default;
    // NOLINTNEXTLINE(google-explicit-constructor): a V is stored as its wrapper.
    KilnHoardMapValueWrapper(const V& value) : V(value) {}
    // Any other construction of a V (from a key, from its attributes).
    template <class... A>
    requires(sizeof...(A) > 0 && std::is_constructible_v<V, A...> &&
             !(sizeof...(A) == 1 && (std::is_base_of_v<V, std::remove_cvref_t<A>> &&
                                     ...))) explicit KilnHoardMapValueWrapper(A&&... args)
        : V(std::forward<A>(args)...) {}

    // Through std::invoke: GCC 12 at -O2 reports a false strict-aliasing violation when a base
    // class's member function pointer (FlowCounterEntry's key()) is called with `.*` directly.
    const K& fwkKey() const { return std::invoke(keyOf, static_cast<const V&>(*this)); }
    const V& value() const { return *this; }
};

// The table operations of a bound collection whose records are wrapped as W and whose changes
// feed the notification writer Queue: the hash seed rule comes from the wrapper's flag.
template <class W, class Queue>
using KilnHoardOps = Hoard::Ops<typename W::Key, W, W::hashSeedZero, Queue>;

}  // namespace KilnHoard
