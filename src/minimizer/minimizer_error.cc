#include "minimizer/minimizer_error.h"

namespace tarnwex {

std::string MinimizerError::display() const {
  switch (kind) {
    case Kind::Configuration:
      return "Configuration error: " + text;
    case Kind::Numerical:
      return "Numerical error: " + text;
  }
  return text;
}

}  // namespace tarnwex
