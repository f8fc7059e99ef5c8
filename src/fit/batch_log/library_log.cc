#include "fit/batch_log/library_log.h"

#include <cmath>

#if defined(__GLIBC__)
#include <dlfcn.h>
#endif

namespace tarnwex {

namespace {

double linked_log(double x) { return std::log(x); }

// A toolchain may also link a `log` of its own into the module (Zig's Clang
// does), so the running glibc is asked even where the module imports none:
// first among the objects already loaded, then libm itself, which every
// Python process has loaded; the handle stays open for the module's life.
LogFunction resolve_library_log() {
#if defined(__GLIBC__)
  void* current = dlvsym(RTLD_DEFAULT, "log", "GLIBC_2.29");
  if (current == nullptr) {
    if (void* libm = dlopen("libm.so.6", RTLD_NOW | RTLD_LOCAL)) {
      current = dlvsym(libm, "log", "GLIBC_2.29");
    }
  }
  if (current != nullptr) return reinterpret_cast<LogFunction>(current);
#endif
  return &linked_log;
}

}  // namespace

const LogFunction library_log_function = resolve_library_log();

}  // namespace tarnwex
