#include "fit/likelihood/shape_point_values.h"

#include <algorithm>
#include <cstring>
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
                                   std::size_t n_shapes, InterruptCheck interrupted)
    : events_(events),
      pdfs_(pdfs),
      interrupted_(std::move(interrupted)),
      scratch_(pdfs.size()),
      columns_(pdfs.size()),
      revisions_(pdfs.size(), 0),
      checked_revisions_(pdfs.size(), 0),
      checked_zero_free_(pdfs.size(), false),
      scanned_revisions_(pdfs.size(), 0),
      last_views_(pdfs.size()),
      reuse_(pdfs.size(), n_shapes) {}

std::expected<DeferredChecks, SPlotError> ShapePointValues::load(const ParameterMap& parameters,
                                                                 std::span<const double> point,
                                                                 bool defer) {
  return load_into(parameters, point, scratch_, columns_, defer);
}

std::expected<ShapePointValues::Owned, SPlotError> ShapePointValues::load_owned(
    const ParameterMap& parameters) {
  Owned out{std::vector<std::vector<double>>(pdfs_.size()),
            std::vector<std::span<const double>>(pdfs_.size())};
  // Not the reused columns: these values must outlive later loads.
  auto loaded = load_into(parameters, {}, out.owned, out.columns, /*defer=*/false);
  if (!loaded) return std::unexpected(std::move(loaded.error()));
  return out;
}

std::expected<ShapePointValues::Answer, SPlotError> ShapePointValues::ask(
    std::size_t k, const ParameterMap& parameters, std::vector<double>& scratch, bool compare) {
  const std::size_t n_events = events_.size();
  if (compare) {
    // The PDF may write its new values where the last ones are.
    previous_.resize(n_events);
    auto copied = interrupted_.for_event_blocks(n_events, [&](std::size_t first, std::size_t end) {
      std::copy(columns_[k].begin() + static_cast<std::ptrdiff_t>(first),
                columns_[k].begin() + static_cast<std::ptrdiff_t>(end), previous_.begin() +
                static_cast<std::ptrdiff_t>(first));
      return true;
    });
    if (!copied) return std::unexpected(std::move(copied.error()));
  }
  auto view = pdfs_[k].get().evaluate_batch_view(events_, parameters, scratch);
  if (!view) return std::unexpected(std::move(view.error()));
  if (view->values.size() != n_events) {
    return std::unexpected(wrong_length(k, view->values.size(), n_events));
  }
  Answer answer{*view, false};
  if (compare) {
    answer.same = true;
    auto compared = interrupted_.for_event_blocks(n_events, [&](std::size_t first, std::size_t end) {
      answer.same = std::memcmp(view->values.data() + first, previous_.data() + first,
                                (end - first) * sizeof(double)) == 0;
      return answer.same;
    });
    if (!compared) return std::unexpected(std::move(compared.error()));
  }
  return answer;
}

std::expected<DeferredChecks, SPlotError> ShapePointValues::load_into(
    const ParameterMap& parameters, std::span<const double> point,
    std::span<std::vector<double>> scratch, std::span<std::span<const double>> columns,
    bool defer) {
  const std::size_t n_components = pdfs_.size();
  const bool reusable = columns.data() == columns_.data();
  plans_.assign(n_components, ColumnReuse::Plan{});
  if (reusable) {
    for (std::size_t k = 0; k < n_components; ++k) plans_[k] = reuse_.plan(k, point);
  }
  // PDF k's values are checked before PDF k + 1 runs. After the last PDF
  // that runs here nothing waits but columns used again, already checked,
  // and the event loop reads its values anyway: its check is left to the
  // loop when the caller allows it.
  std::size_t deferrable = n_components;
  if (defer) {
    for (std::size_t k = n_components; k-- > 0;) {
      if (plans_[k].action != ColumnReuse::Action::reuse) {
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
    const ColumnReuse::Plan plan = plans_[k];
    std::optional<PdfValuesView> view;
    if (plan.action == ColumnReuse::Action::reuse) {
      view = last_views_[k];
    } else {
      const bool learn = plan.action == ColumnReuse::Action::learn;
      auto answer = ask(k, parameters, scratch[k], learn);
      if (!answer) return std::unexpected(std::move(answer.error()));
      view = answer->view;
      if (learn) {
        reuse_.learned(k, plan.parameter, answer->same);
        inherit_checks(k, answer->same, view->revision);
      }
      if (reusable) {
        reuse_.called(k, point);
        last_views_[k] = *view;
      } else {
        // The PDF's storage now holds other values than the last load's.
        reuse_.forget(k);
      }
    }
    const std::uint64_t revision = view->revision;
    revisions_[k] = revision;
    columns[k] = view->values;
    if (view->valid) {
      if (view->zero_free) some_zero_free = true;
    } else if (revision != 0 && revision == checked_revisions_[k]) {
      if (checked_zero_free_[k]) some_zero_free = true;
    } else if (k == deferrable) {
      deferred.column_values = true;
      deferred.column = k;
    } else {
      auto zero_free = check_column(k, view->values);
      if (!zero_free) return std::unexpected(std::move(zero_free.error()));
      if (*zero_free) some_zero_free = true;
    }
  }
  // An event can only be zero in every PDF if every PDF has a zero.
  if (!some_zero_free && !same_known_revisions(revisions_, scanned_revisions_)) {
    if (deferred.column_values) {
      deferred.all_zero = true;
    } else if (auto scanned = scan_all_zero(columns); !scanned) {
      return std::unexpected(std::move(scanned.error()));
    }
  }
  return deferred;
}

void ShapePointValues::inherit_checks(std::size_t k, bool same, std::uint64_t revision) {
  if (same && revisions_[k] != 0 && revisions_[k] == checked_revisions_[k] && revision != 0) {
    checked_revisions_[k] = revision;
  }
  if (same && revisions_[k] != 0 && revisions_[k] == scanned_revisions_[k] && revision != 0) {
    scanned_revisions_[k] = revision;
  }
}

std::expected<bool, SPlotError> ShapePointValues::reused_columns_hold(
    const ParameterMap& parameters, std::span<const double> point) {
  bool hold = true;
  for (std::size_t k = 0; k < pdfs_.size() && hold; ++k) {
    if (reuse_.plan(k, point).action != ColumnReuse::Action::reuse) continue;
    auto answer = ask(k, parameters, scratch_[k], /*compare=*/true);
    if (!answer) return std::unexpected(std::move(answer.error()));
    hold = answer->same;
    inherit_checks(k, hold, answer->view.revision);
    revisions_[k] = answer->view.revision;
    columns_[k] = answer->view.values;
    last_views_[k] = answer->view;
    reuse_.called(k, point);
  }
  // Nothing is learnt any more: the copy's room goes back.
  previous_ = std::vector<double>();
  if (!hold) reuse_.switch_off();
  return hold;
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
