// A read-only view of the fit's events, so that the fit never copies them.
//
// Two layouts are offered: a list of rows (each row its own vector, possibly
// ragged, as native callers build them), and indexed events, whose
// coordinate 0 is the event's own 0-based index and whose features stay with
// whoever built the view. The second one is how the Python layer hands over
// its data array without an (n_events, n_features + 1) copy: the PDFs it
// calls may write into, resize or replace that array, so the view keeps no
// pointer into it. Its builder checks the features' finiteness before any
// PDF runs and hands over only the verdict.
#pragma once

#include <cmath>
#include <cstddef>
#include <span>
#include <vector>

#include "minimizer/internal_error.h"

namespace tarnwex {

class EventView;

// One event's coordinates.
class EventRow {
 public:
  EventRow(const EventView& view, std::size_t event) : view_(&view), event_(event) {}
  std::size_t size() const;
  double operator[](std::size_t j) const;
  // The event's place in the view, 0-based.
  std::size_t index() const { return event_; }

 private:
  const EventView* view_;
  std::size_t event_;
};

class EventView {
 public:
  EventView() = default;
  explicit EventView(std::span<const std::vector<double>> rows) : rows_(rows), n_events_(rows.size()) {}

  // n_events rows seen as (e, feature_0, ..., feature_{n-1}); only the index
  // can be read. `features_finite` says whether every feature was finite
  // when the builder looked.
  static EventView indexed(std::size_t n_events, std::size_t n_features, bool features_finite) {
    EventView view;
    view.n_events_ = n_events;
    view.n_features_ = n_features;
    view.features_finite_ = features_finite;
    view.indexed_ = true;
    return view;
  }

  std::size_t size() const { return n_events_; }
  std::size_t row_size(std::size_t e) const { return indexed_ ? n_features_ + 1 : rows_[e].size(); }
  double at(std::size_t e, std::size_t j) const {
    if (!indexed_) return rows_[e][j];
    if (j != 0) internal_error("EventView: the features of indexed events are not held.");
    return static_cast<double>(e);
  }
  EventRow row(std::size_t e) const { return EventRow(*this, e); }

  // Whether every coordinate of every event is finite.
  bool coordinates_finite() const {
    if (indexed_) return features_finite_;
    for (const std::vector<double>& row : rows_) {
      for (double value : row) {
        if (!std::isfinite(value)) return false;
      }
    }
    return true;
  }

 private:
  std::span<const std::vector<double>> rows_;
  std::size_t n_events_ = 0;
  std::size_t n_features_ = 0;
  bool features_finite_ = true;
  bool indexed_ = false;
};

inline std::size_t EventRow::size() const { return view_->row_size(event_); }
inline double EventRow::operator[](std::size_t j) const { return view_->at(event_, j); }

}  // namespace tarnwex
