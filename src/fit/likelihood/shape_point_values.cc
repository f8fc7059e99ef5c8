#include "fit/likelihood/shape_point_values.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "fit/core/value_errors.h"
#include "fit/inputs/pdf_value_checks.h"

namespace tarnwex {

namespace {

bool same_known_revisions(std::span<const std::uint64_t> current,
                          std::span<const std::uint64_t> known) {
  for (std::size_t k = 0; k < current.size(); ++k) {
    if (current[k] == 0 || current[k] != known[k]) return false;
  }
  return true;
}

}  // namespace

ShapePointValues::ShapePointValues(const EventView& events, const PdfList& pdfs,
                                   DeclaredDependence dependence, InterruptCheck interrupted)
    : events_(events),
      pdfs_(pdfs),
      interrupted_(std::move(interrupted)),
      scratch_(pdfs.size()),
      held_(pdfs.size(), false),
      columns_(pdfs.size()),
      revisions_(pdfs.size(), 0),
      checked_revisions_(pdfs.size(), 0),
      checked_zero_free_(pdfs.size(), false),
      scanned_revisions_(pdfs.size(), 0),
      last_views_(pdfs.size()),
      dependence_(std::move(dependence)) {}

std::expected<PdfValuesView, SPlotError> ShapePointValues::ask(std::size_t k,
                                                               const ParameterMap& parameters) {
  // Whatever the call gives, the storage of the last column is the PDF's
  // again from here on.
  dependence_.forget(k);
  last_views_[k] = PdfValuesView{};
  auto view = pdfs_[k].get().evaluate_batch_view(events_, parameters, scratch_[k]);
  if (!view) return std::unexpected(std::move(view.error()));
  if (view->values.size() != events_.size()) {
    return std::unexpected(wrong_length(k, view->values.size(), events_.size()));
  }
  return *view;
}

std::expected<DeferredChecks, SPlotError> ShapePointValues::load(const ParameterMap& parameters,
                                                                 std::span<const double> point,
                                                                 bool defer) {
  const std::size_t n_components = pdfs_.size();
  for (std::size_t k = 0; k < n_components; ++k) held_[k] = dependence_.column_holds(k, point);
  // PDF k's values are checked before PDF k + 1 runs. After the last PDF
  // that runs here nothing waits but columns used again, already checked,
  // and the event loop reads its values anyway: its check is left to the
  // loop when the caller allows it.
  std::size_t deferrable = n_components;
  if (defer) {
    for (std::size_t k = n_components; k-- > 0;) {
      if (!held_[k]) {
        deferrable = k;
        break;
      }
      const PdfValuesView& last = last_views_[k];
      if (!last.valid && !(last.revision != 0 && last.revision == checked_revisions_[k])) break;
    }
  }
  DeferredChecks deferred;
  bool some_zero_free = false;
  for (std::size_t k = 0; k < n_components; ++k) {
    if (!held_[k]) {
      auto view = ask(k, parameters);
      if (!view) return std::unexpected(std::move(view.error()));
      dependence_.called(k, point);
      last_views_[k] = *view;
    }
    const PdfValuesView& view = last_views_[k];
    const std::uint64_t revision = view.revision;
    revisions_[k] = revision;
    columns_[k] = view.values;
    if (view.valid) {
      if (view.zero_free) some_zero_free = true;
    } else if (revision != 0 && revision == checked_revisions_[k]) {
      if (checked_zero_free_[k]) some_zero_free = true;
    } else if (k == deferrable) {
      deferred.column_values = true;
      deferred.column = k;
    } else {
      auto zero_free = check_column(k, view.values);
      if (!zero_free) return std::unexpected(std::move(zero_free.error()));
      if (*zero_free) some_zero_free = true;
    }
  }
  // An event can only be zero in every PDF if every PDF has a zero.
  if (!some_zero_free && !same_known_revisions(revisions_, scanned_revisions_)) {
    if (deferred.column_values) {
      deferred.all_zero = true;
    } else if (auto scanned = scan_all_zero(columns_); !scanned) {
      return std::unexpected(std::move(scanned.error()));
    }
  }
  return deferred;
}

std::expected<std::vector<std::span<const double>>, SPlotError> ShapePointValues::load_checked(
    const ParameterMap& parameters, std::span<const double> point) {
  auto loaded = load(parameters, point, /*defer=*/false);
  if (!loaded) return std::unexpected(std::move(loaded.error()));
  return columns_;
}

std::optional<std::vector<double>> ShapePointValues::held_column(
    std::size_t k, std::span<const double> point) const {
  if (!dependence_.column_holds(k, point)) return std::nullopt;
  return std::vector<double>(last_views_[k].values.begin(), last_views_[k].values.end());
}

std::expected<std::vector<double>, SPlotError> ShapePointValues::fresh_column(
    std::size_t k, const ParameterMap& parameters, std::span<const double> point) {
  auto view = ask(k, parameters);
  if (!view) return std::unexpected(std::move(view.error()));
  // Values that fail their checks are reported as such, not as a change;
  // checked here, they need no check when a load uses them again.
  revisions_[k] = view->revision;
  if (auto checked = check_column(k, view->values); !checked) {
    return std::unexpected(std::move(checked.error()));
  }
  if (!point.empty()) {
    dependence_.called(k, point);
    last_views_[k] = *view;
  }
  return std::vector<double>(view->values.begin(), view->values.end());
}

std::expected<void, SPlotError> ShapePointValues::settle(DeferredChecks deferred,
                                                         const LoopOutcome& outcome) {
  const std::size_t n_events = events_.size();
  if (outcome.check_failed || outcome.first_bad_mixture != n_events) {
    // The deferred checks come first, as if they had run before the loop:
    // when the loop stopped early it has not seen every value, so they run
    // in full.
    if (deferred.column_values) {
      if (auto checked = check_column(deferred.column, columns_[deferred.column]); !checked) {
        return std::unexpected(std::move(checked.error()));
      }
    }
    if (deferred.all_zero) return scan_all_zero(columns_);
    return {};
  }
  // The loop saw every value and found no failure: what the checks would
  // have recorded holds, but for whether the deferred PDF has a zero, which the
  // loop does not look for (it only matters to the all-zero scan, which then
  // simply runs once more if asked).
  if (deferred.column_values) {
    checked_revisions_[deferred.column] = revisions_[deferred.column];
    checked_zero_free_[deferred.column] = false;
  }
  if (deferred.all_zero) std::copy(revisions_.begin(), revisions_.end(), scanned_revisions_.begin());
  return {};
}

std::expected<bool, SPlotError> ShapePointValues::check_column(std::size_t k,
                                                               std::span<const double> values) {
  CheckedValues checked{values.size(), false};
  auto looped = interrupted_.for_event_blocks(values.size(), [&](std::size_t first, std::size_t end) {
    const CheckedValues block = check_values(values.subspan(first, end - first));
    checked.has_zero = checked.has_zero || block.has_zero;
    if (block.first_invalid == end - first) return true;
    checked.first_invalid = first + block.first_invalid;
    return false;
  });
  if (!looped) return std::unexpected(std::move(looped.error()));
  if (checked.first_invalid != values.size()) {
    return std::unexpected(invalid_pdf_value(k, checked.first_invalid));
  }
  checked_revisions_[k] = revisions_[k];
  checked_zero_free_[k] = !checked.has_zero;
  return !checked.has_zero;
}

std::expected<void, SPlotError> ShapePointValues::scan_all_zero(
    std::span<const std::span<const double>> columns) {
  const std::size_t n_events = events_.size();
  std::size_t zero_event = n_events;
  auto looped = interrupted_.for_event_blocks(n_events, [&](std::size_t first, std::size_t end) {
    const std::size_t found = first_all_zero_event(columns, end, first);
    if (found == end) return true;
    zero_event = found;
    return false;
  });
  if (!looped) return std::unexpected(std::move(looped.error()));
  if (zero_event != n_events) {
    return std::unexpected(all_pdfs_zero(zero_event));
  }
  std::copy(revisions_.begin(), revisions_.end(), scanned_revisions_.begin());
  return {};
}

}  // namespace tarnwex
