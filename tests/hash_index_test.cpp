// Checks that the module's hash index spreads hashes that agree in their low
// bits, or in their high bits, as well as random ones: finding every entry
// costs about one probe each, not a walk along one long run.  Run by
// tests/test_hash_tables.py; prints one line per family of hashes and exits
// non-zero when any family is crowded.
#include <cstdint>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "../src/hash_index.h"

namespace {

struct Family {
  std::string name;
  std::function<std::uint64_t(std::uint64_t)> hash;
};

}  // namespace

int main() {
  constexpr std::uint64_t n = 20'000;
  std::mt19937_64 random(12345);
  const std::uint64_t fixed = random();
  const std::vector<Family> families = {
      {"random", [&](std::uint64_t) { return random(); }},
      {"counting (equal high bits)", [](std::uint64_t i) { return i; }},
      {"equal low 16 bits", [&](std::uint64_t) { return (random() << 16) | (fixed & 0xffff); }},
      {"equal low 32 bits", [&](std::uint64_t) { return (random() << 32) | (fixed & 0xffffffff); }},
      {"multiples of 2^20", [](std::uint64_t i) { return i << 20; }},
      {"equal high 40 bits", [&](std::uint64_t) { return (fixed << 24) ^ (random() >> 40); }},
  };
  int crowded = 0;
  for (const Family& family : families) {
    kesp::HashIndex index;
    for (std::uint64_t i = 0; i < n; ++i) index.add(family.hash(i));
    const double per_entry = double(index.total_displacement()) / double(n);
    // A table at most half full with linear probing: about half a slot past
    // home per entry for random hashes.  A run of colliding hashes costs
    // thousands.
    const bool ok = per_entry < 2.0;
    crowded += !ok;
    std::printf("%-28s %8.3f slots past home per entry: %s\n", family.name.c_str(), per_entry,
                ok ? "spread" : "CROWDED");
  }
  return crowded == 0 ? 0 : 1;
}
