// Times one evaluation of JointLikelihood against the plain loop of its
// arithmetic, measured in the same run on the same density table.
//
// The PDFs hand out views of values they keep, with a fixed non-zero
// revision, as the Python adapter does while its cache holds one point: after
// the first evaluation nothing about the values can have changed. The plain
// loop reads the K densities of an event, mixes them in component order,
// rejects a non-finite mixture, floors it, takes its log with the library's
// std::log, weights it and subtracts it in event order. The likelihood sums
// the same terms compensated, in eight lanes (fit/likelihood/event_sum.h), and must lie
// within 4 ulp of their exactly rounded sum; it takes its logs in batches
// (fit/batch_log/batch_log.h) and so runs below the plain loop. The gradient of a fit
// of yields alone, exact from one pass that also sums the yield derivatives,
// is timed too: it may cost at most 1.5 evaluations. Every run moves the
// yields, so the likelihood's memo of recent points never answers for it.
//
// Global operator new is counted, so the report also says how many
// allocations (and bytes) one evaluation makes.

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "fit/batch_log/batch_log.h"
#include "fit/likelihood/joint_likelihood.h"
#include "../../tests/native/fit/exact_sum.h"

namespace {

std::atomic<std::size_t> g_allocations{0};
std::atomic<std::size_t> g_allocated_bytes{0};

}  // namespace

void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  g_allocated_bytes.fetch_add(size, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace tarnwex {
namespace {

constexpr std::size_t kEvents = 1'000'000;
int g_repeats = 31;
constexpr double kTargetRatio = 1.1;
constexpr double kGradientTargetRatio = 1.5;
constexpr std::int64_t kUlpTolerance = 4;
constexpr double kDensityFloor = 1e-300;

// A component whose values were computed once and never change.
class FixedPdf final : public ParametricPdf {
 public:
  explicit FixedPdf(std::vector<double> values) : values_(std::move(values)) {}

  std::expected<double, SPlotError> evaluate(EventRow event, const ParameterMap&) const override {
    return values_[static_cast<std::size_t>(event[0])];
  }
  std::expected<std::vector<double>, SPlotError> evaluate_batch(const EventView&,
                                                                const ParameterMap&) const override {
    return values_;
  }
  std::expected<PdfValuesView, SPlotError> evaluate_batch_view(const EventView&, const ParameterMap&,
                                                               std::vector<double>&) const override {
    return PdfValuesView{values_, 1};
  }

 private:
  std::vector<double> values_;
};

// The plain loop's time is the reference; its terms, collected once, give
// the exactly rounded sum the likelihood is checked against.
template <std::size_t K>
double plain_nll(const double* const* columns, const double* yields, const double* weights,
                 std::size_t n_events, std::vector<double>* terms = nullptr) {
  double nll = yields[0];
  for (std::size_t k = 1; k < K; ++k) nll += yields[k];
  if (terms) terms->assign(yields, yields + K);
  for (std::size_t e = 0; e < n_events; ++e) {
    double density = yields[0] * columns[0][e];
    for (std::size_t k = 1; k < K; ++k) density += yields[k] * columns[k][e];
    if (!std::isfinite(density)) return std::numeric_limits<double>::quiet_NaN();
    if (!(density > kDensityFloor)) density = kDensityFloor;
    const double term = std::log(density) * weights[e];
    nll -= term;
    if (terms) terms->push_back(-term);
  }
  return nll;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t m = v.size() / 2;
  return v.size() % 2 ? v[m] : 0.5 * (v[m - 1] + v[m]);
}

// CPU time of this thread: on a shared machine, time spent descheduled does
// not count against either loop.
double thread_seconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

double seconds_since(double start) { return thread_seconds() - start; }

std::string hex(double v) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%a", v);
  return buffer;
}

template <std::size_t K>
bool run() {
  std::mt19937_64 rng(12345 + K);
  std::uniform_real_distribution<double> density(0.01, 1.0);
  std::vector<FixedPdf> pdfs;
  pdfs.reserve(K);
  for (std::size_t k = 0; k < K; ++k) {
    std::vector<double> values(kEvents);
    for (double& v : values) v = density(rng);
    pdfs.emplace_back(std::move(values));
  }
  PdfList pdf_list(pdfs.begin(), pdfs.end());
  const EventView events = EventView::indexed(kEvents, 1, true);
  const std::vector<double> weights(kEvents, 1.0);
  Vector x(K);
  for (std::size_t k = 0; k < K; ++k) x[k] = static_cast<double>(kEvents) / K * (1.0 + 0.1 * k);

  std::vector<const double*> columns(K);
  std::vector<std::vector<double>> scratch(K);
  for (std::size_t k = 0; k < K; ++k) {
    columns[k] = pdfs[k].evaluate_batch_view(events, {}, scratch[k])->values.data();
  }

  JointLikelihood likelihood({}, events, pdf_list, weights);
  auto start = thread_seconds();
  const auto first = likelihood.evaluate(x);
  const double first_seconds = seconds_since(start);
  if (!first) {
    std::printf("K=%zu: evaluation failed: %s\n", K, first.error().display().c_str());
    return false;
  }

  // The memo fills its slots over its first evaluations; from then on a new
  // point reuses an evicted slot, as in a long fit.
  for (int warm = 0; warm < 64; ++warm) {
    Vector moved = x;
    moved[0] -= static_cast<double>(warm + 1);
    (void)likelihood.evaluate(moved);
  }

  // The two loops alternate, so that both see the same machine; the minimum
  // is the cost with the least interference, the median what a run sees.
  std::vector<double> plain_times(g_repeats), likelihood_times(g_repeats),
      gradient_times(g_repeats), known_times(g_repeats);
  double likelihood_value = 0.0;
  volatile double plain_sink = 0.0;
  std::size_t allocations = 0;
  std::size_t allocated_bytes = 0;
  for (int r = 0; r < g_repeats; ++r) {
    Vector moved = x;
    moved[0] += static_cast<double>(r + 1);
    start = thread_seconds();
    // Kept, or the compiler may leave the loop out.
    plain_sink = plain_sink + plain_nll<K>(columns.data(), moved.data(), weights.data(), kEvents);
    plain_times[r] = seconds_since(start);

    const std::size_t allocations_before = g_allocations.load();
    const std::size_t bytes_before = g_allocated_bytes.load();
    start = thread_seconds();
    likelihood_value = *likelihood.evaluate(moved);
    likelihood_times[r] = seconds_since(start);
    allocations += g_allocations.load() - allocations_before;
    allocated_bytes += g_allocated_bytes.load() - bytes_before;

    // At the point just evaluated, as a line search asks: the NLL is known,
    // so the pass forms only the yield ratios.
    start = thread_seconds();
    (void)likelihood.gradient(moved);
    known_times[r] = seconds_since(start);
    moved[1] += 0.5;  // a new point: the pass forms the logs and the ratios
    start = thread_seconds();
    (void)likelihood.gradient(moved);
    gradient_times[r] = seconds_since(start);
  }
  Vector last = x;
  last[0] += static_cast<double>(g_repeats);
  std::vector<double> terms;
  (void)plain_nll<K>(columns.data(), last.data(), weights.data(), kEvents, &terms);
  const double exact = testing::exact_sum(terms);
  const bool accurate = testing::ulps(likelihood_value, exact) <= kUlpTolerance;

  const auto per_event_ns = [](double seconds) { return seconds / kEvents * 1e9; };
  const auto fastest = [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); };
  const double plain_ns = per_event_ns(fastest(plain_times));
  const double likelihood_ns = per_event_ns(fastest(likelihood_times));
  const double gradient_ns = per_event_ns(fastest(gradient_times));
  const double ratio = likelihood_ns / plain_ns;
  const double gradient_ratio = gradient_ns / likelihood_ns;
  std::printf("K=%zu  N=%zu  (%d alternating runs each; min, median in brackets)\n", K, kEvents,
              g_repeats);
  std::printf("  plain loop (std::log)   %7.3f ns/event  [%7.3f]\n", plain_ns,
              per_event_ns(median(plain_times)));
  std::printf("  JointLikelihood         %7.3f ns/event  [%7.3f]\n", likelihood_ns,
              per_event_ns(median(likelihood_times)));
  std::printf("  its yield gradient      %7.3f ns/event  [%7.3f]\n", gradient_ns,
              per_event_ns(median(gradient_times)));
  std::printf("    after an evaluation   %7.3f ns/event  [%7.3f]   (the NLL known: no logs)\n",
              per_event_ns(fastest(known_times)), per_event_ns(median(known_times)));
  std::printf("  ratio to the plain loop %7.3f  [%.3f]   target <= %.1f: %s\n", ratio,
              median(likelihood_times) / median(plain_times), kTargetRatio,
              ratio <= kTargetRatio ? "met" : "MISSED");
  std::printf("  gradient / evaluation   %7.3f  [%.3f]   target <= %.1f: %s\n", gradient_ratio,
              median(gradient_times) / median(likelihood_times), kGradientTargetRatio,
              gradient_ratio <= kGradientTargetRatio ? "met" : "MISSED");
  std::printf("  first evaluation        %7.3f ns/event   (checks the values once)\n",
              first_seconds / kEvents * 1e9);
  std::printf("  allocations per evaluation: %.1f (%.0f bytes)\n",
              static_cast<double>(allocations) / g_repeats,
              static_cast<double>(allocated_bytes) / g_repeats);
  std::printf("  within %lld ulp of the exactly rounded sum: %s (%s, exact %s)\n",
              static_cast<long long>(kUlpTolerance), accurate ? "yes" : "NO",
              hex(likelihood_value).c_str(), hex(exact).c_str());
  return accurate;
}

}  // namespace
}  // namespace tarnwex

// Optional argument: the number of runs of each loop (fewer under valgrind).
int main(int argc, char** argv) {
  if (argc > 1) tarnwex::g_repeats = std::max(1, std::atoi(argv[1]));
  static const char* const kKernelNames[] = {"std::log, one at a time", "AVX2, four at a time",
                                             "AVX-512, eight at a time"};
  std::printf("log kernel: %s\n",
              kKernelNames[static_cast<int>(tarnwex::selected_log_kernel())]);
  const bool ok = tarnwex::run<2>() & tarnwex::run<5>();
  return ok ? 0 : 1;
}
