#include "minimizer/callbacks.h"

#include <utility>

namespace tarnwex {

Callbacks with_terminator(Callbacks callbacks, std::unique_ptr<Terminator> terminator) {
  callbacks.entries.emplace_back(std::move(terminator));
  return callbacks;
}

Callbacks with_observer(Callbacks callbacks, std::unique_ptr<Observer> observer) {
  callbacks.entries.emplace_back(std::move(observer));
  return callbacks;
}

}  // namespace tarnwex
