// An open-addressing index from 64-bit hashes to positions in an array its
// owner keeps, for the tables the module keys by the interpreter's str hash.
//
// The str hash is only as random as PYTHONHASHSEED makes it.  With the seed
// fixed, as reproducible pipelines and test runs do, anyone can find by brute
// force many texts whose hashes agree in their low bits; a table that took
// its slot from those bits would put them all in one probe run and turn each
// lookup into a walk over all of them.  So the home slot comes from a key
// drawn once per process at run time: the hash, with the key's first half
// xored in, goes through a mixer in which every bit moves every other, and
// the high bits of the result times the key's second half (odd) are the slot
// (multiply-shift).  Which hashes share a slot depends on a key no caller can
// see, and hashes with a pattern (a run of numbers, equal low or high bits)
// spread as random ones do.
#pragma once

// getentropy: declared in <unistd.h> by glibc and musl alike.
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kesp {

// The key of every hash index, drawn from the system's entropy on first use.
// Should the system refuse, the clock and an address stand in: still unknown
// to a caller who only chooses texts.
struct HashKey {
  std::uint64_t xored;
  std::uint64_t multiplier;  // odd
};

// splitmix64's finaliser: a bijection in which every input bit moves about
// half of the output bits.
constexpr std::uint64_t mix64(std::uint64_t x) noexcept {
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9u;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebu;
  return x ^ (x >> 31);
}

inline HashKey process_hash_key() noexcept {
  static const HashKey key = [] {
    std::uint64_t drawn[2] = {0, 0};
    if (getentropy(drawn, sizeof drawn) != 0) {
      const std::uint64_t stand_in =
          std::uint64_t(std::chrono::steady_clock::now().time_since_epoch().count()) ^
          std::uint64_t(reinterpret_cast<std::uintptr_t>(&drawn));
      drawn[0] = mix64(stand_in);
      drawn[1] = mix64(stand_in + 0x9e3779b97f4a7c15u);
    }
    return HashKey{drawn[0], drawn[1] | 1};
  }();
  return key;
}

// Maps hashes to the positions 0, 1, 2, ... given to them in the order they
// were added; the owner keeps whatever the positions stand for and says, for
// a stored position whose hash matches, whether its entry is the one sought.
// Linear probing from the home slot, at most half full.
class HashIndex {
 public:
  static constexpr std::size_t none = SIZE_MAX;

  HashIndex() noexcept : key_(process_hash_key()) {}

  std::size_t size() const noexcept { return count_; }

  // The position of the entry with this hash that `is_entry(position)`
  // accepts, or `none`.
  template <class IsEntry>
  std::size_t find(std::uint64_t hash, IsEntry&& is_entry) const {
    if (count_ == 0) return none;
    for (std::size_t i = home(hash);; i = (i + 1) & mask_) {
      const Slot& slot = slots_[i];
      if (slot.stored == 0) return none;
      if (slot.hash == hash && is_entry(slot.stored - 1)) return slot.stored - 1;
    }
  }

  // Adds the next position, size(), under `hash`, and returns it.
  std::size_t add(std::uint64_t hash) {
    if ((count_ + 1) * 2 > slots_.size()) grow();
    place(hash, ++count_);
    return count_ - 1;
  }

  // How many slots past their home slot the stored hashes lie, summed: the
  // probes that finding every entry costs beyond one each.  For the tests.
  std::size_t total_displacement() const noexcept {
    std::size_t total = 0;
    for (std::size_t i = 0; i < slots_.size(); ++i)
      if (slots_[i].stored != 0) total += (i - home(slots_[i].hash)) & mask_;
    return total;
  }

 private:
  struct Slot {
    std::uint64_t hash;
    std::size_t stored;  // 0: empty; otherwise the position plus one
  };

  std::size_t home(std::uint64_t hash) const noexcept {
    return std::size_t((mix64(hash ^ key_.xored) * key_.multiplier) >> shift_);
  }

  void place(std::uint64_t hash, std::size_t stored) noexcept {
    std::size_t i = home(hash);
    while (slots_[i].stored != 0) i = (i + 1) & mask_;
    slots_[i] = {hash, stored};
  }

  void grow() {
    std::vector<Slot> old(std::max<std::size_t>(16, slots_.size() * 2), Slot{0, 0});
    old.swap(slots_);
    mask_ = slots_.size() - 1;
    shift_ = unsigned(64 - std::countr_zero(slots_.size()));
    for (const Slot& slot : old)
      if (slot.stored != 0) place(slot.hash, slot.stored);
  }

  std::vector<Slot> slots_;
  std::size_t count_ = 0;
  std::size_t mask_ = 0;
  unsigned shift_ = 63;
  HashKey key_;
};

}  // namespace kesp
