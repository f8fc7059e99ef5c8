#include "fit/likelihood/likelihood_memo.h"

#include <algorithm>
#include <cstring>

namespace tarnwex {

namespace {

bool same_bits(std::span<const std::uint64_t> bits, std::span<const double> point) {
  return bits.size() == point.size() &&
         (point.empty() || std::memcmp(bits.data(), point.data(), point.size_bytes()) == 0);
}

void copy_bits(std::span<const double> point, std::vector<std::uint64_t>& bits) {
  bits.resize(point.size());
  if (!point.empty()) std::memcpy(bits.data(), point.data(), point.size_bytes());
}

}  // namespace

LikelihoodMemo::LikelihoodMemo(std::size_t capacity) : capacity_(std::max(capacity, kCapacity)) {}

const LikelihoodMemo::Entry* LikelihoodMemo::lookup(std::span<const double> point) const {
  for (const Entry& entry : entries_) {
    if (same_bits(entry.bits, point)) return &entry;
  }
  return nullptr;
}

std::optional<double> LikelihoodMemo::peek(std::span<const double> point) const {
  const Entry* entry = lookup(point);
  if (entry == nullptr) return std::nullopt;
  return entry->value;
}

std::optional<double> LikelihoodMemo::find(std::span<const double> point) {
  Entry* entry = lookup(point);
  if (entry == nullptr) return std::nullopt;
  entry->last_use = ++clock_;
  return entry->value;
}

void LikelihoodMemo::store(std::span<const double> point, double value) {
  Entry* entry = lookup(point);
  if (entry == nullptr) {
    if (entries_.size() < capacity_) {
      entry = &entries_.emplace_back();
    } else {
      entry = &*std::min_element(entries_.begin(), entries_.end(),
                                 [](const Entry& a, const Entry& b) { return a.last_use < b.last_use; });
    }
    copy_bits(point, entry->bits);
  }
  entry->value = value;
  entry->last_use = ++clock_;
}

void LikelihoodMemo::clear() {
  entries_.clear();
  forget_gradient();
}

void LikelihoodMemo::forget_gradient() {
  gradient_bits_.clear();
  gradient_.reset();
}

std::optional<Vector> LikelihoodMemo::find_gradient(std::span<const double> point) const {
  if (!gradient_ || !same_bits(gradient_bits_, point)) return std::nullopt;
  return gradient_;
}

void LikelihoodMemo::store_gradient(std::span<const double> point, const Vector& gradient) {
  copy_bits(point, gradient_bits_);
  gradient_ = gradient;
}

}  // namespace tarnwex
