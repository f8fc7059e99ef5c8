#include "fit/batch_exp/batch_exp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace tarnwex {
namespace {

constexpr ExpKernel kKernels[] = {ExpKernel::kScalar, ExpKernel::kAvx2, ExpKernel::kAvx512};
constexpr double kInf = std::numeric_limits<double>::infinity();

// Where density_exp changes paths or the result changes kind: the main
// path's bound, the largest finite result, the smallest normal and
// subnormal results, the bounds past which the result is a constant.
constexpr double kEdges[] = {708.0,   -708.0,  709.782712893384, -708.3964185322641,
                             -745.1332191019411, 710.0, -746.0,  0.0};

std::vector<double> sweep_inputs() {
  std::vector<double> values;
  std::mt19937_64 bits(20261211);
  for (int i = 0; i < 500'000; ++i) values.push_back(std::bit_cast<double>(bits()));
  std::uniform_real_distribution<double> wide(-760.0, 760.0);
  for (int i = 0; i < 500'000; ++i) values.push_back(wide(bits));
  std::uniform_real_distribution<double> near_zero(-1.0, 1.0);
  for (int exponent = 0; exponent <= 1074; ++exponent) {
    values.push_back(std::ldexp(near_zero(bits), -exponent));
  }
  for (double edge : kEdges) {
    double up = edge;
    double down = edge;
    for (int step = 0; step < 256; ++step) {
      values.push_back(up);
      values.push_back(down);
      up = std::nextafter(up, kInf);
      down = std::nextafter(down, -kInf);
    }
  }
  // Halfway between two k, where x 8/ln 2 rounds one way or the other.
  for (int k = -8'700; k < 8'700; k += 3) {
    const double half = (k + 0.5) * 0x1.62e42fefa39efp-4;
    values.push_back(std::nextafter(half, -kInf));
    values.push_back(half);
    values.push_back(std::nextafter(half, kInf));
  }
  const double specials[] = {0.0,
                             -0.0,
                             1.0,
                             -1.0,
                             kInf,
                             -kInf,
                             std::numeric_limits<double>::quiet_NaN(),
                             -std::numeric_limits<double>::quiet_NaN(),
                             std::bit_cast<double>(std::uint64_t{0x7ff0000000000001}),  // signalling
                             std::bit_cast<double>(std::uint64_t{0xfff8000000000123}),  // a payload
                             std::numeric_limits<double>::max(),
                             -std::numeric_limits<double>::max(),
                             std::numeric_limits<double>::min(),
                             -std::numeric_limits<double>::min(),
                             std::numeric_limits<double>::denorm_min(),
                             -std::numeric_limits<double>::denorm_min()};
  values.insert(values.end(), std::begin(specials), std::end(specials));
  return values;
}

// Index of the first out[i] whose bits differ from density_exp(in[i]), or n.
std::size_t first_difference(const std::vector<double>& in, const std::vector<double>& out) {
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (std::bit_cast<std::uint64_t>(out[i]) != std::bit_cast<std::uint64_t>(density_exp(in[i]))) {
      return i;
    }
  }
  return in.size();
}

TEST(BatchExp, EveryKernelThatRunsHereGivesDensityExpsBits) {
  const std::vector<double> inputs = sweep_inputs();
  for (ExpKernel kernel : kKernels) {
    if (!exp_kernel_runs_here(kernel)) continue;
    std::vector<double> out(inputs.size());
    exp_array_with(kernel, inputs.data(), out.data(), inputs.size());
    const std::size_t at = first_difference(inputs, out);
    EXPECT_EQ(at, inputs.size()) << "kernel " << static_cast<int>(kernel) << " differs at "
                                 << std::hexfloat << inputs[std::min(at, inputs.size() - 1)];
    std::vector<double> in_place = inputs;
    exp_array_with(kernel, in_place.data(), in_place.data(), in_place.size());
    EXPECT_EQ(first_difference(inputs, in_place), inputs.size())
        << "kernel " << static_cast<int>(kernel) << " in place";
  }
}

// Every length up to a few lane counts, with values for the paths apart
// (NaN, past the main bound) at every position, in place or not.
TEST(BatchExp, ShortAndRaggedBatchesAreComplete) {
  const double outside[] = {std::numeric_limits<double>::quiet_NaN(), 709.5, -720.0, -kInf};
  for (ExpKernel kernel : kKernels) {
    if (!exp_kernel_runs_here(kernel)) continue;
    for (std::size_t n = 0; n < 20; ++n) {
      for (std::size_t odd = 0; odd <= n; ++odd) {
        std::vector<double> inputs(n);
        for (std::size_t i = 0; i < n; ++i) inputs[i] = 0.37 * static_cast<double>(i) - 3.0;
        if (odd < n) inputs[odd] = outside[odd % 4];
        std::vector<double> out(n, -1.0);
        exp_array_with(kernel, inputs.data(), out.data(), n);
        EXPECT_EQ(first_difference(inputs, out), n) << static_cast<int>(kernel) << " n=" << n;
        std::vector<double> in_place = inputs;
        exp_array_with(kernel, in_place.data(), in_place.data(), n);
        EXPECT_EQ(first_difference(inputs, in_place), n)
            << static_cast<int>(kernel) << " in place n=" << n;
      }
    }
  }
}

TEST(BatchExp, UsesTheWidestKernelThatRunsHere) {
  ExpKernel widest = ExpKernel::kScalar;
  for (ExpKernel kernel : {ExpKernel::kAvx2, ExpKernel::kAvx512}) {
    if (exp_kernel_runs_here(kernel)) widest = kernel;
  }
  EXPECT_EQ(selected_exp_kernel(), widest);
  EXPECT_TRUE(exp_kernel_runs_here(ExpKernel::kScalar));
  const std::vector<double> inputs = sweep_inputs();
  std::vector<double> out(inputs.size());
  exp_array(inputs.data(), out.data(), inputs.size());
  EXPECT_EQ(first_difference(inputs, out), inputs.size());
}

TEST(BatchExp, SpecialValues) {
  EXPECT_EQ(std::bit_cast<std::uint64_t>(density_exp(0.0)), std::bit_cast<std::uint64_t>(1.0));
  EXPECT_EQ(std::bit_cast<std::uint64_t>(density_exp(-0.0)), std::bit_cast<std::uint64_t>(1.0));
  EXPECT_EQ(density_exp(kInf), kInf);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(density_exp(-kInf)), std::uint64_t{0});
  EXPECT_TRUE(std::isnan(density_exp(std::numeric_limits<double>::quiet_NaN())));
  EXPECT_EQ(density_exp(709.782712893384), 0x1.fffffffffff2ap+1023);
  EXPECT_EQ(density_exp(std::nextafter(709.782712893384, kInf)), kInf);
  EXPECT_EQ(density_exp(-708.3964185322641), 0x1.000000000007cp-1022);
  EXPECT_EQ(density_exp(-745.0), 0x1p-1074);  // 0.571 * 2^-1074
  EXPECT_EQ(std::bit_cast<std::uint64_t>(density_exp(-745.2)), std::uint64_t{0});  // 0.468 * 2^-1074
}

// |density_exp(x) - e^x| < 1 unit in the last place of e^x (2^-1074 for
// subnormal results; +inf counts as 2^1024 below the point where e^x rounds
// to it), against the 64-bit-mantissa expl, whose own error is some 2^-11 of
// that unit.
TEST(BatchExp, WithinOneUnitInTheLastPlace) {
  std::vector<double> inputs;
  std::mt19937_64 bits(20261212);
  std::uniform_real_distribution<double> normal(-708.39, 709.78);
  std::uniform_real_distribution<double> dense(-30.0, 30.0);
  std::uniform_real_distribution<double> underflow(-746.0, -708.39);
  for (int i = 0; i < 300'000; ++i) inputs.push_back(normal(bits));
  for (int i = 0; i < 100'000; ++i) inputs.push_back(dense(bits));
  for (int i = 0; i < 100'000; ++i) inputs.push_back(underflow(bits));
  for (int exponent = 0; exponent <= 1074; ++exponent) inputs.push_back(std::ldexp(-1.0, -exponent));
  for (double edge : kEdges) {
    if (edge > 709.79) continue;  // e^x past the largest double by more than a last place
    double x = edge;
    for (int step = 0; step < 64; ++step, x = std::nextafter(x, kInf)) inputs.push_back(x);
  }
  double worst = 0.0;
  double worst_at = 0.0;
  double worst_subnormal = 0.0;
  for (double x : inputs) {
    const double y = density_exp(x);
    const long double reference = expl(static_cast<long double>(x));
    const int exponent = std::max(std::ilogb(reference), -1022);
    const long double ulp = std::ldexp(1.0L, exponent - 52);
    const long double value = std::isinf(y) ? 0x1p1024L : static_cast<long double>(y);
    // +inf is right wherever e^x rounds to it, however far past 2^1024.
    const bool overflows = std::isinf(y) && std::isinf(static_cast<double>(reference));
    const double error = overflows ? 0.0 : static_cast<double>(std::fabs(value - reference) / ulp);
    if (error > worst) {
      worst = error;
      worst_at = x;
    }
    if (reference < 0x1p-1022L) worst_subnormal = std::max(worst_subnormal, error);
  }
  EXPECT_LT(worst, 1.0) << "at " << std::hexfloat << worst_at;
  // Subnormal results are rounded (once) from an approximation some 2^-6 of
  // their last place away from e^x: a truncation would be up to a whole
  // unit off.
  EXPECT_LT(worst_subnormal, 0.6);
}

}  // namespace
}  // namespace tarnwex
