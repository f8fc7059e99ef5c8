#include "fit/likelihood/pass_counter.h"

#ifdef TARNWEX_COUNT_PASSES

#include <cstring>
#include <mutex>
#include <string>
#include <unordered_set>

namespace tarnwex {

namespace {

struct Counter {
  std::mutex mutex;
  PassCounts counts;
  std::unordered_set<std::string> seen;
};

Counter& counter() {
  static Counter instance;
  return instance;
}

}  // namespace

void count_pass(std::span<const double> yields, std::span<const double> shape_values) {
  std::string key(yields.size_bytes() + shape_values.size_bytes(), '\0');
  if (!yields.empty()) std::memcpy(key.data(), yields.data(), yields.size_bytes());
  if (!shape_values.empty()) {
    std::memcpy(key.data() + yields.size_bytes(), shape_values.data(), shape_values.size_bytes());
  }
  Counter& c = counter();
  std::lock_guard lock(c.mutex);
  ++c.counts.passes;
  if (c.seen.insert(std::move(key)).second) ++c.counts.distinct_points;
}

PassCounts take_pass_counts() {
  Counter& c = counter();
  std::lock_guard lock(c.mutex);
  PassCounts out = c.counts;
  c.counts = {};
  c.seen.clear();
  return out;
}

}  // namespace tarnwex

#endif
