// The minimizer's own error: a configuration or a numerical fault, with its text.
#pragma once

#include <string>

namespace tarnwex {

struct MinimizerError {
  enum class Kind { Configuration, Numerical };

  Kind kind = Kind::Configuration;
  std::string text;

  static MinimizerError configuration(std::string text) {
    return {Kind::Configuration, std::move(text)};
  }
  static MinimizerError numerical(std::string text) { return {Kind::Numerical, std::move(text)}; }

  // "Configuration error: {text}" or "Numerical error: {text}".
  std::string display() const;

  friend bool operator==(const MinimizerError&, const MinimizerError&) = default;
};

}  // namespace tarnwex
