// The exponential the built-in densities use, one value or many at a time.
//
// density_exp is this project's own exp, defined by one sequence of IEEE
// operations (a table of 2^(j/8) and a degree-8 polynomial;
// fit/batch_exp/exp_lanes.inc), within one unit in the last place of the exact
// value wherever the result is a normal number (about 0.54 at worst), with
// subnormal results rounded once from the same approximation. It need not
// match the C library's exp, and does not. The kernels perform the same
// operations eight or four values at a time, so every kernel gives
// density_exp's bits, on every processor, and the choice of kernel changes
// only the speed.
#pragma once

#include <cstddef>

namespace tarnwex {

enum class ExpKernel {
  kScalar,  // one value at a time, in plain code (no vector or FMA instructions)
  kAvx2,    // four values at a time (AVX2 and FMA)
  kAvx512,  // eight values at a time (AVX-512 F and DQ)
};

// exp x; +inf above the overflow threshold, 0 below the smallest
// subnormal's half, NaN for NaN.
double density_exp(double x);

// out[i] = density_exp(in[i]) for i < n, through the widest kernel this
// processor runs (chosen on first use). `in` and `out` are the same array
// (in place) or do not overlap. No allocation.
void exp_array(const double* in, double* out, std::size_t n);

// The kernel exp_array uses.
ExpKernel selected_exp_kernel();

// Whether this processor can run `kernel` (kScalar always).
bool exp_kernel_runs_here(ExpKernel kernel);

// exp_array through one particular kernel, which must run here.
void exp_array_with(ExpKernel kernel, const double* in, double* out, std::size_t n);

}  // namespace tarnwex
