// Entries consulted after every step of a run: terminators, which may end the
// run, and observers, whose answer is ignored.
#pragma once

#include <cstddef>
#include <memory>
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

struct CallbackLike {
  std::unique_ptr<Terminator> callback;
  bool is_observer = false;  // an observer's answer is ignored
};

struct Callbacks {
  std::vector<CallbackLike> entries;
};

Callbacks with_terminator(Callbacks callbacks, std::unique_ptr<Terminator> terminator);
Callbacks with_observer(Callbacks callbacks, std::unique_ptr<Terminator> observer);

}  // namespace tarnwex
