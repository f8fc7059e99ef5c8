// Entries consulted after every step of a run: terminators, which may end the
// run, and observers, which only look.
#pragma once

#include <cstddef>
#include <memory>
#include <variant>
#include <vector>

namespace tarnwex {

class LBFGSB;
struct GradientStatus;
struct LBFGSBConfig;

enum class TerminationDecision { Continue, Stop };

class Terminator {
 public:
  virtual ~Terminator() = default;
  // `current_step` counts from 0. May change `state.f_previous` and `status.message`.
  virtual TerminationDecision check_for_termination(std::size_t current_step, LBFGSB& state,
                                                    GradientStatus& status,
                                                    const LBFGSBConfig& config) = 0;
};

// Sees the run after every step without being able to change or end it.
class Observer {
 public:
  virtual ~Observer() = default;
  // `current_step` counts from 0.
  virtual void observe(std::size_t current_step, const LBFGSB& state, const GradientStatus& status,
                       const LBFGSBConfig& config) = 0;
};

using CallbackLike = std::variant<std::unique_ptr<Terminator>, std::unique_ptr<Observer>>;

struct Callbacks {
  std::vector<CallbackLike> entries;
};

Callbacks with_terminator(Callbacks callbacks, std::unique_ptr<Terminator> terminator);
Callbacks with_observer(Callbacks callbacks, std::unique_ptr<Observer> observer);

}  // namespace tarnwex
