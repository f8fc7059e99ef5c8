// Shape-parameter name to value, keys in ascending byte order.
#pragma once

#include <functional>
#include <map>
#include <string>

namespace tarnwex {

// std::string orders by unsigned bytes, so iteration is in byte order of the
// UTF-8 names.
using ParameterMap = std::map<std::string, double, std::less<>>;

}  // namespace tarnwex
