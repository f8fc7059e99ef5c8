#include "minimizer/callbacks.h"

#include <utility>

namespace tarnwex {

Callbacks with_terminator(Callbacks callbacks, std::unique_ptr<Terminator> terminator) {
  callbacks.entries.push_back(CallbackLike{std::move(terminator), false});
  return callbacks;
}

Callbacks with_observer(Callbacks callbacks, std::unique_ptr<Terminator> observer) {
  callbacks.entries.push_back(CallbackLike{std::move(observer), true});
  return callbacks;
}

}  // namespace tarnwex
