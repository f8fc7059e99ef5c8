// A read-only view of the fit's events, so that the fit never copies them.
//
// Two layouts are offered: a list of rows (each row its own vector, possibly
// ragged, as native callers build them), and a strided block of features
// whose coordinate 0 is the event's own 0-based index, synthesised on read.
// The second one is how the Python layer hands over its data array without
// building an (n_events, n_features + 1) copy.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace tarnwex {

class EventView;

// One event's coordinates.
class EventRow {
 public:
  EventRow(const EventView& view, std::size_t event) : view_(&view), event_(event) {}
  std::size_t size() const;
  double operator[](std::size_t j) const;
  std::size_t event() const { return event_; }

 private:
  const EventView* view_;
  std::size_t event_;
};

class EventView {
 public:
  EventView() = default;
  explicit EventView(std::span<const std::vector<double>> rows) : rows_(rows), n_events_(rows.size()) {}

  // n_events rows of n_features values read at base + e*row_stride + j*col_stride
  // (strides in bytes); each row is seen as (e, feature_0, ..., feature_{n-1}).
  static EventView indexed_block(const void* base, std::size_t n_events, std::size_t n_features,
                                 std::ptrdiff_t row_stride, std::ptrdiff_t col_stride) {
    EventView view;
    view.base_ = static_cast<const char*>(base);
    view.n_events_ = n_events;
    view.n_features_ = n_features;
    view.row_stride_ = row_stride;
    view.col_stride_ = col_stride;
    view.indexed_ = true;
    return view;
  }

  std::size_t size() const { return n_events_; }
  std::size_t row_size(std::size_t e) const { return indexed_ ? n_features_ + 1 : rows_[e].size(); }
  double at(std::size_t e, std::size_t j) const {
    if (!indexed_) return rows_[e][j];
    if (j == 0) return static_cast<double>(e);
    const char* p = base_ + static_cast<std::ptrdiff_t>(e) * row_stride_ +
                    static_cast<std::ptrdiff_t>(j - 1) * col_stride_;
    return *reinterpret_cast<const double*>(p);
  }
  EventRow row(std::size_t e) const { return EventRow(*this, e); }

 private:
  std::span<const std::vector<double>> rows_;
  const char* base_ = nullptr;
  std::size_t n_events_ = 0;
  std::size_t n_features_ = 0;
  std::ptrdiff_t row_stride_ = 0;
  std::ptrdiff_t col_stride_ = 0;
  bool indexed_ = false;
};

inline std::size_t EventRow::size() const { return view_->row_size(event_); }
inline double EventRow::operator[](std::size_t j) const { return view_->at(event_, j); }

}  // namespace tarnwex
