#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

namespace Kiln {

// The runtime's incremental hash: three 32-bit words (seed, 0, 0) that absorb 2- or 4-byte
// values in a fixed rotation (b, c, a, b, c, ...), with a Jenkins mix after every third value
// and a Jenkins final mix in result().
//
// Every process that shares a table computes bucket positions from these numbers, so the
// function is frozen: golden vectors in the tests fail on any change. Allocates nothing.
class Hash {
  public:
    explicit constexpr Hash(std::uint32_t seed) : a_(seed), b_(0), c_(0), next_(1) {}

    // Mixes the N low-order bytes (N = 2 or 4) of `value`, given as a number in host order.
    template <int N>
    constexpr void hashMix(std::uint32_t value) {
        static_assert(N == 2 || N == 4, "the hash mixes 2- or 4-byte values");
        if constexpr (N == 2) value &= 0xFFFFu;
        switch (next_) {
            case 0: a_ += value; break;
            case 1: b_ += value; break;
            default: c_ += value; break;
        }
        if (++next_ == 3) {
            mix();
            next_ = 0;
        }
    }

    constexpr std::uint32_t result() const {
        std::uint32_t a = a_, b = b_, c = c_;
        c ^= b; c -= rot(b, 14);
        a ^= c; a -= rot(c, 11);
        b ^= a; b -= rot(a, 25);
        c ^= b; c -= rot(b, 16);
        a ^= c; a -= rot(c, 4);
        b ^= a; b -= rot(a, 14);
        c ^= b; c -= rot(b, 24);
        return c;
    }

  private:
    static constexpr std::uint32_t rot(std::uint32_t x, int k) {
        return (x << k) | (x >> (32 - k));
    }
    constexpr void mix() {
        a_ -= c_; a_ ^= rot(c_, 4);  c_ += b_;
        b_ -= a_; b_ ^= rot(a_, 6);  a_ += c_;
        c_ -= b_; c_ ^= rot(b_, 8);  b_ += a_;
        a_ -= c_; a_ ^= rot(c_, 16); c_ += b_;
        b_ -= a_; b_ ^= rot(a_, 19); a_ += c_;
        c_ -= b_; c_ ^= rot(b_, 4);  b_ += a_;
    }

    std::uint32_t a_, b_, c_;
    std::uint8_t next_;  // which word absorbs the next value: 0 a, 1 b, 2 c
};

// The runtime's hash of a value with a single 16- or 32-bit attribute (a VLAN id, a tracker
// number, a template number): the attribute's number mixed into a Hash started from `seed`.
template <class T>
    requires(std::is_trivially_copyable_v<T> && (sizeof(T) == 2 || sizeof(T) == 4))
constexpr std::uint32_t hashSingleAttr(std::uint32_t seed, const T& value) {
    Hash h(seed);
    if constexpr (sizeof(T) == 2) {
        h.hashMix<2>(static_cast<std::uint32_t>(__builtin_bit_cast(std::uint16_t, value)));
    } else {
        h.hashMix<4>(__builtin_bit_cast(std::uint32_t, value));
    }
    return h.result();
}

}  // namespace Kiln
