// Every way into the module from the interpreter goes through here, so that
// no C++ exception ever unwinds into the interpreter.
#pragma once

#include <exception>
#include <new>
#include <type_traits>

#include "python/python_api.h"

namespace tarnwex {

// Raises the Python exception matching the C++ exception being handled
// (MemoryError for std::bad_alloc). Only for use inside a catch block.
inline void raise_from_current_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unexpected internal error");
  }
}

// The body returns a new reference (null on failure) or a status (-1 on
// failure); a C++ exception becomes the corresponding failure.
template <typename Body>
auto guarded_entry(Body&& body) noexcept -> decltype(body()) {
  using Result = decltype(body());
  try {
    return body();
  } catch (...) {
    raise_from_current_exception();
  }
  if constexpr (std::is_pointer_v<Result>) {
    return nullptr;
  } else {
    return Result(-1);
  }
}

}  // namespace tarnwex
