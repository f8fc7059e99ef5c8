// The module tarnwex: its one exported symbol and its execution step.
#define TARNWEX_NUMPY_IMPORT
#include "python/python_api.h"

#include "python/builtin_pdf_type.h"
#include "python/guarded_entry.h"
#include "python/interpreter_compat.h"
#include "python/py_ref.h"
#include "python/shape_parameter_type.h"
#include "python/signal_checks.h"
#include "python/splot_error_type.h"
#include "python/splot_function.h"
#include "python/splot_result_type.h"

namespace tarnwex {

namespace {

int add_type(PyObject* module, const char* name, PyTypeObject* type) {
  if (type == nullptr) return -1;
  return compat::module_add_object_ref(module, name, reinterpret_cast<PyObject*>(type));
}

int execute_module(PyObject* module) {
  return guarded_entry([&]() -> int {
    if (_import_array() < 0) return -1;
    if (add_type(module, "ShapeParameter", shape_parameter_type()) < 0) return -1;
    if (add_type(module, "SPlotResult", splot_result_type()) < 0) return -1;
    // The companion module tarnwex_pdfs builds its densities on this one.
    if (add_type(module, "_BuiltinPdf", builtin_pdf_type()) < 0) return -1;
    PyRef module_name = PyRef::steal(compat::module_name(module));
    if (!module_name) return -1;
    PyRef function = PyRef::steal(make_splot_function(module_name.get()));
    if (!function || compat::module_add_object_ref(module, "splot", function.get()) < 0) return -1;
    PyRef seam = PyRef::steal(make_interrupt_seam_function(module_name.get()));
    if (!seam || compat::module_add_object_ref(module, "_interrupt_after_checks", seam.get()) < 0) {
      return -1;
    }
    // Pickled results name it; it is found here by that name.
    PyObject* restore = restore_function();
    if (restore == nullptr || compat::module_add_object_ref(module, "_restore_result", restore) < 0) {
      return -1;
    }
    PyObject* error = splot_error_type();
    if (error == nullptr) return -1;
    return compat::module_add_object_ref(module, "SPlotError", error);
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(execute_module)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "tarnwex",
    "Joint extended-likelihood fitting and sWeight calculation.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace tarnwex

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_tarnwex() {
  return PyModuleDef_Init(&tarnwex::module_definition);
}
