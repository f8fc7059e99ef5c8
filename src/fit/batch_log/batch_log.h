// The natural logarithm of many values at once, equal to the C library's
// (library_log, fit/batch_log/library_log.h) to the bit, and the choice of
// how the event loop computes it.
//
// The likelihood takes one logarithm per event on every pass, and the
// scalar library call is most of a pass's cost. The kernels repeat the
// library's own operations (its table, polynomial and fused multiply-adds;
// fit/batch_log/log_lanes.inc) eight or four values at a time and hand the few values
// that take the library's other paths (near 1, zero, subnormal, negative,
// infinite, NaN) to library_log itself. A kernel is used only after it has
// given the library's bits on a fixed sweep of inputs that covers every
// table entry and exponent, so on a library that computes log differently
// everything runs through library_log and the results are those of the
// library whatever it is.
#pragma once

#include <cstddef>

namespace tarnwex {

enum class LogKernel {
  kScalar,  // library_log, one value at a time
  kAvx2,    // four values at a time (AVX2 and FMA)
  kAvx512,  // eight values at a time (AVX-512 F and DQ)
};

// The kernel the event loop uses (fit/likelihood/log_density_sum.h): the widest one this
// processor runs that agrees with the library, chosen on first use.
LogKernel selected_log_kernel();

// Whether this processor can run `kernel` at all (kScalar always).
bool log_kernel_runs_here(LogKernel kernel);

// Whether `kernel` gives library_log's bits on the fixed sweep of inputs used to
// choose a kernel. False when the kernel cannot run here.
bool log_kernel_agrees_with_library(LogKernel kernel);

// out[i] = library_log(in[i]) for i < n, bit for bit, through one particular
// kernel, which must run here. `in` and `out` must not overlap.
void batch_log_with(LogKernel kernel, const double* in, double* out, std::size_t n);

}  // namespace tarnwex
