#include "minimizer/internal_error.h"

#include <cstdio>
#include <cstdlib>

namespace tarnwex {

void internal_error(std::string_view message) {
  std::fprintf(stderr, "%.*s\n", static_cast<int>(message.size()), message.data());
  std::fflush(stderr);
  std::abort();
}

}  // namespace tarnwex
