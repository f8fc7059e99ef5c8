// A hook the fit consults while it works, so that a caller can stop a long
// fit (the Python layer uses it to honour Ctrl-C).
//
// It is consulted before each likelihood evaluation and, inside every loop
// whose work grows with the number of events, between blocks of a fixed
// number of events: counted work, not a clock, so where a fit can stop does
// not depend on how fast the machine is, and how long it runs between two
// consultations does not depend on how many events there are.
#pragma once

#include <algorithm>
#include <cstddef>
#include <expected>
#include <functional>
#include <type_traits>
#include <utility>

#include "fit/core/splot_error.h"

namespace tarnwex {

class InterruptCheck {
 public:
  // Returns an error to end the fit with that error.
  using Hook = std::function<std::expected<void, SPlotError>()>;

  // A block of 2^16 events is a fraction of a millisecond of any loop of
  // the fit, and the hook's cost vanishes beside it.
  static constexpr std::size_t kDefaultEventsPerCheck = std::size_t{1} << 16;

  // An empty check never stops the fit.
  InterruptCheck() = default;
  // `events_per_check` is rounded up to a multiple of 8, so that block
  // boundaries never split the lanes of an event sum (event_sum.h): the
  // blocks change no bit of any result.
  InterruptCheck(Hook hook, std::size_t events_per_check = kDefaultEventsPerCheck)
      : hook_(std::move(hook)),
        events_per_check_((std::max<std::size_t>(events_per_check, 1) + 7) / 8 * 8) {}
  // Any callable of the hook's signature. A check is itself such a callable:
  // excluding it first keeps its copies from asking whether a check converts
  // to a hook, which libc++ answers by copying a check, a circular constraint.
  template <class F>
    requires(!std::is_same_v<std::decay_t<F>, InterruptCheck>) &&
            (!std::is_same_v<std::decay_t<F>, Hook>) && std::is_convertible_v<F, Hook>
  InterruptCheck(F&& hook) : InterruptCheck(Hook(std::forward<F>(hook))) {}

  std::expected<void, SPlotError> operator()() const {
    if (!hook_) return {};
    return hook_();
  }

  std::size_t events_per_check() const { return events_per_check_; }

  // Runs `step(first, end)` over consecutive blocks that cover [0, n_events)
  // in order, consulting the hook between two blocks (the caller consults
  // before the loop where it must). `step` returns false to end the loop
  // early; the hook's error ends it too and is returned.
  template <class Step>
  std::expected<void, SPlotError> for_event_blocks(std::size_t n_events, Step&& step) const {
    for (std::size_t first = 0; first < n_events; first += events_per_check_) {
      if (first != 0) {
        if (auto go_on = (*this)(); !go_on) return go_on;
      }
      if (!step(first, std::min(n_events, first + events_per_check_))) break;
    }
    return {};
  }

 private:
  Hook hook_;
  std::size_t events_per_check_ = kDefaultEventsPerCheck;
};

}  // namespace tarnwex
