// The C library's logarithm that every logarithm of the fit is taken by (or
// reproduced bit for bit), whichever C library this module was linked
// against.
//
// GNU libc keeps two versions of `log`: the current one (GLIBC_2.29), which
// a module built against glibc 2.29 or newer calls, and the compatibility
// version that a module built against an older glibc (a manylinux2014 wheel
// links against glibc 2.17) is bound to, and a toolchain may link its own
// `log` into the module instead. Those round differently on about one input
// in 10^5, so two builds of the same sources would fit to different bits.
// Every build therefore asks the running glibc for its current version when
// it has one.
#pragma once

namespace tarnwex {

using LogFunction = double (*)(double);

// Resolved once, when the module loads: the running glibc's `log` of version
// GLIBC_2.29 when it has it, else the `log` this module was linked with.
extern const LogFunction library_log_function;

inline double library_log(double x) { return library_log_function(x); }

}  // namespace tarnwex
