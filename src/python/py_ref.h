// An owned reference to a Python object, released when the holder goes.
#pragma once

#include "python/python_api.h"

#include <utility>

namespace tarnwex {

class PyRef {
 public:
  PyRef() = default;
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : object_(other.object_) { other.object_ = nullptr; }
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(object_); }

  // Takes over a reference the caller already owns (a new reference returned
  // by the C API); null stays null so that failures can be tested afterwards.
  static PyRef steal(PyObject* object) { return PyRef(object); }
  // Adds a reference of its own to an object the caller only borrows.
  static PyRef borrow(PyObject* object) {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }

  // Hands the reference to the caller, typically as a C API return value.
  PyObject* release() { return std::exchange(object_, nullptr); }

 private:
  explicit PyRef(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace tarnwex
