#include "fit/batch_log/batch_log.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <limits>
#include <random>
#include <vector>

namespace tarnwex {
namespace {

constexpr LogKernel kKernels[] = {LogKernel::kScalar, LogKernel::kAvx2, LogKernel::kAvx512};

// Index of the first input whose kernel result differs from std::log in any
// bit, or inputs.size().
std::size_t first_difference(LogKernel kernel, const std::vector<double>& inputs) {
  std::vector<double> logs(inputs.size());
  batch_log_with(kernel, inputs.data(), logs.data(), inputs.size());
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    if (std::bit_cast<std::uint64_t>(logs[i]) != std::bit_cast<std::uint64_t>(std::log(inputs[i]))) {
      return i;
    }
  }
  return inputs.size();
}

TEST(BatchLog, EveryKernelThatRunsHereGivesTheLibrarysBits) {
  std::mt19937_64 bits(20261207);
  std::uniform_real_distribution<double> exponent(-700.0, 700.0);
  std::vector<double> inputs;
  for (int i = 0; i < 2'000'000; ++i) inputs.push_back(std::bit_cast<double>(bits()));
  for (int i = 0; i < 2'000'000; ++i) inputs.push_back(std::exp(exponent(bits)));
  for (double x = 0.9; x < 1.1; x = std::nextafter(x + 1e-7, 2.0)) inputs.push_back(x);
  for (double x : {0.0, -0.0, 1.0, 5e-324, 1e-300, std::numeric_limits<double>::infinity(),
                   std::numeric_limits<double>::quiet_NaN()}) {
    inputs.push_back(x);
  }
  for (LogKernel kernel : kKernels) {
    if (!log_kernel_runs_here(kernel)) continue;
    const std::size_t at = first_difference(kernel, inputs);
    EXPECT_EQ(at, inputs.size()) << "kernel " << static_cast<int>(kernel) << " differs at "
                                 << std::hexfloat << inputs[std::min(at, inputs.size() - 1)];
  }
}

TEST(BatchLog, ShortAndRaggedBatchesAreComplete) {
  for (LogKernel kernel : kKernels) {
    if (!log_kernel_runs_here(kernel)) continue;
    for (std::size_t n = 0; n < 20; ++n) {
      std::vector<double> inputs(n);
      for (std::size_t i = 0; i < n; ++i) inputs[i] = 0.37 * static_cast<double>(i + 1);
      if (n > 2) inputs[n - 2] = 1.0;  // a value for the library's own path
      EXPECT_EQ(first_difference(kernel, inputs), n) << static_cast<int>(kernel) << " n=" << n;
    }
  }
}

TEST(BatchLog, UsesTheWidestKernelThatAgreesWithTheLibrary) {
  LogKernel widest = LogKernel::kScalar;
  for (LogKernel kernel : {LogKernel::kAvx2, LogKernel::kAvx512}) {
    if (log_kernel_agrees_with_library(kernel)) widest = kernel;
  }
  EXPECT_EQ(selected_log_kernel(), widest);
  EXPECT_TRUE(log_kernel_agrees_with_library(LogKernel::kScalar));
}

// The kernels' own look at the processor agrees with the flags the kernel
// reports for it (Linux only: elsewhere there is nothing to compare with).
TEST(BatchLog, SeesTheProcessorFeaturesTheSystemReports) {
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  std::set<std::string> flags;
  while (std::getline(cpuinfo, line)) {
    if (line.rfind("flags", 0) != 0) continue;
    std::istringstream words(line.substr(line.find(':') + 1));
    for (std::string flag; words >> flag;) flags.insert(flag);
    break;
  }
  if (flags.empty()) GTEST_SKIP() << "no /proc/cpuinfo flags";
  EXPECT_EQ(log_kernel_runs_here(LogKernel::kAvx2), flags.contains("avx2") && flags.contains("fma"));
  EXPECT_EQ(log_kernel_runs_here(LogKernel::kAvx512),
            flags.contains("avx512f") && flags.contains("avx512dq"));
}

}  // namespace
}  // namespace tarnwex
