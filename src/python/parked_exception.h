// The Python exception that stopped a fit, kept until the fit has unwound.
//
// The fit core knows nothing of Python: when a PDF is stopped by an exception
// that must reach the caller as it is (KeyboardInterrupt, SystemExit), or a
// signal handler raises while the fit runs, the exception is parked here and
// the fit unwinds through its ordinary error path with a stand-in error. Once
// the fit returns, the parked exception is raised in preference to whatever
// the fit made of it, so the stand-in never reaches the caller.
#pragma once

#include <expected>
#include <utility>

#include "fit/core/splot_error.h"
#include "python/pending_exception.h"
#include "python/python_api.h"

namespace tarnwex {

class ParkedException;

// Where the adapters and the interrupt check park an exception. It does not
// own the exception: the ParkedException it came from outlives every parker.
class ExceptionParker {
 public:
  // Keeps `exception` unless one is parked already: the first one stopped the
  // fit, and any later one only followed from it. Returns the error the fit
  // unwinds with.
  SPlotError park(PendingException exception) const;

 private:
  friend class ParkedException;
  explicit ExceptionParker(ParkedException& owner) : owner_(&owner) {}
  ParkedException* owner_;
};

// The one owner of the exception parked during one fit.
class ParkedException {
 public:
  ParkedException() = default;
  ParkedException(const ParkedException&) = delete;
  ParkedException& operator=(const ParkedException&) = delete;

  ExceptionParker parker() { return ExceptionParker(*this); }

  // The fit's answer to its caller: the parked exception raised again (null
  // returned) when there is one, whatever the fit returned; otherwise what
  // `answer` makes of the outcome.
  template <typename T, typename Answer>
  [[nodiscard]] PyObject* settle(std::expected<T, SPlotError> outcome, Answer&& answer) && {
    if (exception_) {
      exception_.restore();
      return nullptr;
    }
    return std::forward<Answer>(answer)(std::move(outcome));
  }

 private:
  friend class ExceptionParker;
  PendingException exception_;
};

}  // namespace tarnwex
