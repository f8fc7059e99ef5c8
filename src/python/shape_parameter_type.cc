#include "python/shape_parameter_type.h"

#include <limits>
#include <new>

#include "fit/core/text/format.h"
#include "python/exception_note.h"
#include "python/guarded_entry.h"
#include "python/interpreter_compat.h"
#include "python/process_wide_object.h"
#include "python/py_ref.h"

namespace tarnwex {

namespace {

constexpr const char* kDoc =
    "ShapeParameter(name, initial, lower=..., upper=...)\n"
    "--\n"
    "\n"
    "Shared shape parameter used by the joint yield-and-shape fit.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "name : str\n"
    "    Unique name identifying the parameter.\n"
    "initial : float\n"
    "    Initial value supplied to the optimizer.\n"
    "lower : float, optional\n"
    "    Inclusive lower bound. Defaults to negative infinity.\n"
    "upper : float, optional\n"
    "    Inclusive upper bound. Defaults to positive infinity.\n"
    "\n"
    "Attributes\n"
    "----------\n"
    "name : str\n"
    "    Parameter name.\n"
    "initial : float\n"
    "    Initial optimizer value.\n"
    "lower : float\n"
    "    Lower optimizer bound.\n"
    "upper : float\n"
    "    Upper optimizer bound.\n"
    "\n"
    "Notes\n"
    "-----\n"
    "The initial value must be finite and lie within the configured bounds.\n"
    "Parameter names must be unique within a call to `splot`.";

PyShapeParameter* as_record(PyObject* self) { return reinterpret_cast<PyShapeParameter*>(self); }

bool convert_double(PyObject* object, const char* parameter, double& out) {
  out = PyFloat_AsDouble(object);
  if (out == -1.0 && PyErr_Occurred()) {
    note_argument(parameter);
    return false;
  }
  return true;
}

PyObject* shape_parameter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded_entry([&]() -> PyObject* {
    static const char* keywords[] = {"name", "initial", "lower", "upper", nullptr};
    PyObject* name_object = nullptr;
    PyObject* initial_object = nullptr;
    PyObject* lower_object = nullptr;
    PyObject* upper_object = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OO:ShapeParameter",
                                     const_cast<char**>(keywords), &name_object,
                                     &initial_object, &lower_object, &upper_object)) {
      return nullptr;
    }
    if (!PyUnicode_Check(name_object)) {
      PyErr_Format(PyExc_TypeError, "name must be a str, not %.200s",
                   Py_TYPE(name_object)->tp_name);
      note_argument("name");
      return nullptr;
    }
    Py_ssize_t name_size = 0;
    const char* name = PyUnicode_AsUTF8AndSize(name_object, &name_size);
    if (name == nullptr) {
      note_argument("name");
      return nullptr;
    }
    double initial = 0.0;
    double lower = -std::numeric_limits<double>::infinity();
    double upper = std::numeric_limits<double>::infinity();
    if (!convert_double(initial_object, "initial", initial)) return nullptr;
    if (lower_object != nullptr && !convert_double(lower_object, "lower", lower)) return nullptr;
    if (upper_object != nullptr && !convert_double(upper_object, "upper", upper)) return nullptr;

    std::string stored(name, static_cast<std::size_t>(name_size));
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    PyShapeParameter* record = as_record(self);
    new (&record->name) std::string(std::move(stored));
    record->initial = initial;
    record->lower = lower;
    record->upper = upper;
    return self;
  });
}

void shape_parameter_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  as_record(self)->name.~basic_string();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* shape_parameter_repr(PyObject* self) {
  return guarded_entry([&]() -> PyObject* {
    const PyShapeParameter* record = as_record(self);
    std::string text = "ShapeParameter(name=" + quoted_name(record->name);
    text += ", initial=" + format_double(record->initial);
    text += ", lower=" + format_double(record->lower);
    text += ", upper=" + format_double(record->upper);
    text += ")";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

PyObject* get_name(PyObject* self, void*) {
  const std::string& name = as_record(self)->name;
  return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}
PyObject* get_initial(PyObject* self, void*) { return PyFloat_FromDouble(as_record(self)->initial); }
PyObject* get_lower(PyObject* self, void*) { return PyFloat_FromDouble(as_record(self)->lower); }
PyObject* get_upper(PyObject* self, void*) { return PyFloat_FromDouble(as_record(self)->upper); }

// A parameter pickles as the call that makes it again.
PyObject* shape_parameter_reduce(PyObject* self, PyObject*) {
  return guarded_entry([&]() -> PyObject* {
    const PyShapeParameter* record = as_record(self);
    PyRef name = PyRef::steal(PyUnicode_FromStringAndSize(
        record->name.data(), static_cast<Py_ssize_t>(record->name.size())));
    if (!name) return nullptr;
    return Py_BuildValue("(O(Oddd))", reinterpret_cast<PyObject*>(Py_TYPE(self)), name.get(),
                         record->initial, record->lower, record->upper);
  });
}

PyMethodDef methods[] = {
    {"__reduce__", shape_parameter_reduce, METH_NOARGS,
     "Pickles the parameter as the call that makes it again."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    {"name", get_name, nullptr, "Parameter name.", nullptr},
    {"initial", get_initial, nullptr, "Initial optimizer value.", nullptr},
    {"lower", get_lower, nullptr, "Lower optimizer bound.", nullptr},
    {"upper", get_upper, nullptr, "Upper optimizer bound.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(shape_parameter_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(shape_parameter_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(shape_parameter_repr)},
    {Py_tp_getset, properties},
    {Py_tp_methods, methods},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {0, nullptr},
};

PyType_Spec spec = {
    "tarnwex.ShapeParameter",
    static_cast<int>(sizeof(PyShapeParameter)),
    0,
    Py_TPFLAGS_DEFAULT | compat::kImmutableType,
    slots,
};

}  // namespace

PyTypeObject* shape_parameter_type() {
  static PyObject* type = nullptr;
  return reinterpret_cast<PyTypeObject*>(
      process_wide_object(type, [] { return compat::final_type_from_spec(spec); }));
}

}  // namespace tarnwex
