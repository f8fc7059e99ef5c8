#include "python/result_table_html.h"

#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <string_view>

#include "fit/core/yield_bound.h"
#include "python/python_api.h"

namespace tarnwex {

namespace {

// Notebook themes may be dark: every coloured cell sets its text colour too.
constexpr std::string_view kGood = "background-color:#92CCA6;color:black";
constexpr std::string_view kBad = "background-color:#FF7878;color:black";
constexpr std::string_view kNote = "background-color:#FFF79A;color:black";

std::string escaped(std::string_view text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string non_finite(double value) {
  if (std::isnan(value)) return "NaN";
  return value > 0 ? "inf" : "-inf";
}

// Written without the C library's formatting, whose decimal separator
// follows the locale.
template <typename... Format>
std::string chars(double value, Format... format) {
  if (!std::isfinite(value)) return non_finite(value);
  std::array<char, 400> buffer;
  const auto written = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, format...);
  return std::string(buffer.data(), written.ptr);
}

// The shortest text that reads back to the same double.
std::string exact(double value) { return chars(value); }

struct Rounded {
  std::string value;
  std::string error;
};

// Value and error to the error's second significant digit, in fixed notation
// while that stays short, else each in exponent form with the same number of
// digits after the error's leading one.
Rounded rounded(double value, double error) {
  if (!std::isfinite(value) || !std::isfinite(error) || error <= 0.0) {
    return {chars(value, std::chars_format::general, 6),
            std::isnan(error) ? "NaN" : chars(error, std::chars_format::general, 2)};
  }
  const int error_digit = static_cast<int>(std::floor(std::log10(error)));
  const int last_digit = error_digit - 1;
  const double magnitude = std::max(std::fabs(value), error);
  if (last_digit >= -8 && magnitude < 1e7) {
    const int places = std::max(0, -last_digit);
    return {chars(value, std::chars_format::fixed, places),
            chars(error, std::chars_format::fixed, places)};
  }
  const int value_digit = static_cast<int>(std::floor(std::log10(magnitude)));
  return {chars(value, std::chars_format::scientific, std::max(0, value_digit - last_digit)),
          chars(error, std::chars_format::scientific, 1)};
}

std::string cell(std::string_view text, std::string_view style = {}, std::string_view title = {}) {
  std::string out = "<td";
  if (!style.empty()) out += " style=\"" + std::string(style) + "\"";
  if (!title.empty()) out += " title=\"" + escaped(title) + "\"";
  return out + ">" + std::string(text) + "</td>";
}

// A bound as typed is short; a long one (the yields' floor) is shown to three
// digits, in full on hover.
std::string bound_cell(double bound) {
  if (std::isinf(bound)) return cell("");
  const std::string full = exact(bound);
  if (full.size() <= 10) return cell(full);
  return cell(chars(bound, std::chars_format::general, 3), {}, full);
}

void add_row(std::string& html, std::size_t index, std::string_view name, double value,
             double error, double lower, double upper) {
  const Rounded shown = rounded(value, error);
  std::string note;
  if (value == lower) note = "at lower bound";
  if (value == upper) note = "at upper bound";
  if (std::isnan(error)) note += std::string(note.empty() ? "" : "; ") + "error undetermined";
  html += "<tr>";
  html += "<th>" + std::to_string(index) + "</th>";
  html += cell(escaped(name));
  html += cell(shown.value, {}, exact(value));
  html += cell(shown.error, {}, exact(error));
  html += bound_cell(lower);
  html += bound_cell(upper);
  html += note.empty() ? cell("") : cell(note, kNote);
  html += "</tr>\n";
}

const double* values_of(const PyRef& array) {
  return static_cast<const double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
}

}  // namespace

std::string result_table_html(const SPlotResultFields& fields) {
  std::string html = "<table>\n";
  html += "<tr><th colspan=\"7\" style=\"text-align:left;";
  html += fields.success ? kGood : kBad;
  html += "\">";
  html += fields.success ? "&#10004; " : "&#10008; ";
  html += escaped(fields.message) + "</th></tr>\n";
  html += "<tr><td colspan=\"2\">minimum_nll</td>";
  html += "<td colspan=\"5\" style=\"text-align:left\">" + exact(fields.minimum_nll) + "</td></tr>\n";
  html += "<tr><td colspan=\"2\">evaluations</td><td colspan=\"5\" style=\"text-align:left\">";
  html += std::to_string(fields.objective_evaluations) + " objective, ";
  html += std::to_string(fields.gradient_evaluations) + " gradient, ";
  html += std::to_string(fields.hessian_evaluations) + " Hessian</td></tr>\n";
  html += "<tr><th></th><th>Name</th><th>Value</th><th>Error</th>";
  html += "<th>Lower</th><th>Upper</th><th></th></tr>\n";

  const auto n_components = static_cast<std::size_t>(
      PyArray_DIM(reinterpret_cast<PyArrayObject*>(fields.yields.get()), 0));
  const double* yields = values_of(fields.yields);
  const double* yield_errors = values_of(fields.yield_errors);
  for (std::size_t k = 0; k < n_components; ++k) {
    add_row(html, k, "yield " + std::to_string(k), yields[k], yield_errors[k], kYieldLowerBound,
            std::numeric_limits<double>::infinity());
  }
  // The four maps name the same parameters, so they are walked together.
  std::size_t index = n_components;
  auto error = fields.shape_errors.begin();
  auto lower = fields.lower_bounds.begin();
  auto upper = fields.upper_bounds.begin();
  for (const auto& [name, value] : fields.shape_parameters) {
    add_row(html, index++, name, value, (error++)->second, (lower++)->second, (upper++)->second);
  }
  return html + "</table>";
}

}  // namespace tarnwex
