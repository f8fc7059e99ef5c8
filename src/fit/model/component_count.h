// Event loops over a small, fixed number of components run faster when the
// count is a compile-time constant: the per-component work unrolls and the
// column pointers and yields stay in registers.
#pragma once

#include <cstddef>

namespace tarnwex {

// The counts that get their own instantiation; any other count runs the
// generic loop, `body<0>`.
inline constexpr std::size_t kMaxFixedComponents = 6;

// body.template operator()<K>() with K = n_components when it is 1 to
// kMaxFixedComponents, else K = 0.
template <class Body>
auto for_component_count(std::size_t n_components, Body&& body) {
  switch (n_components) {
    case 1:
      return body.template operator()<1>();
    case 2:
      return body.template operator()<2>();
    case 3:
      return body.template operator()<3>();
    case 4:
      return body.template operator()<4>();
    case 5:
      return body.template operator()<5>();
    case 6:
      return body.template operator()<6>();
    default:
      return body.template operator()<0>();
  }
}

}  // namespace tarnwex
