#pragma once

#include <concepts>
#include <cstdint>

#include "contracts/Kiln/Hash.h"

namespace Hoard {

// The hash a table places its keys by. With `seedZero` (the flow tables) the key is always hashed
// with seed 0, whatever the table's stored seed; otherwise (the counter tables) with the seed the
// table's header holds, handed over by hashSeedIs() when the table is attached. Every process
// that reads a table must hash the same way.
template <class K, bool seedZero>
class Hash {
  public:
    void hashSeedIs(std::uint32_t seed) { seed_ = seedZero ? 0 : seed; }
    std::uint32_t seed() const { return seed_; }

    // A key type with a hash(seed) member uses it; a one-number key hashes as a single attribute.
    std::uint32_t operator()(const K& key) const {
        if constexpr (requires {
                          { key.hash(seed_) } -> std::convertible_to<std::uint32_t>;
                      }) {
            return key.hash(seed_);
        } else {
            return Kiln::hashSingleAttr(seed_, key);
        }
    }

  private:
    std::uint32_t seed_ = 0;
};

// The key and value operations a table calls: the key of a stored value, the hash, equality and
// order of keys. Allocation-free; used on every table operation.
template <class K, class V, bool seedZero>
struct KeyOps {
    using Key = K;
    using Value = V;

    // A value that names its table key (a bound collection's wrapper) is indexed by it.
    static const K& key(const V& value) {
        if constexpr (requires { value.fwkKey(); }) {
            return value.fwkKey();
        } else {
            return value.key();
        }
    }
    static bool equal(const K& a, const K& b) { return a == b; }
    static bool less(const K& a, const K& b) { return a < b; }

    std::uint32_t hash(const K& key) const { return hash_(key); }
    void hashSeedIs(std::uint32_t seed) { hash_.hashSeedIs(seed); }
    std::uint32_t seed() const { return hash_.seed(); }

  private:
    Hash<K, seedZero> hash_;
};

// What the hash index tells a running validation about every slot it returns.
class ValidatorHook {
  public:
    virtual ~ValidatorHook() = default;
    // Marks a slot reached through the index; raises CorruptionDetectedException on a finding.
    virtual void markOccupied(std::uint32_t slotIndex) = 0;
};

}  // namespace Hoard
