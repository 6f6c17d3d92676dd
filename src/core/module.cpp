// quorvel._core: the module of the native building blocks.  Every function,
// constructor and method is one call of the road in binding.hpp; the module
// holds the interpreter lock for the whole of every call.

#include "binding.hpp"
#include "coefficients.hpp"
#include "interpolant.hpp"
#include "interpolant_nd.hpp"
#include "kernels.hpp"

namespace {

// ---------------------------------------------------------------------------
// Module functions.

constexpr const char* KERNEL_WEIGHTS_PARAMS[] = {"kernel", "order", "tau"};

PyObject* kernel_weights(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return invoke(module, "kernel_weights()", KERNEL_WEIGHTS_PARAMS, args, nargs, kwnames,
                  [](const Text& kernel, const Int32& order, const Float& tau) {
                      return quorvel::kernel_weights(kernel.value, order.value, tau.value);
                  });
}

constexpr const char* EVALUATE_POLYNOMIAL_PARAMS[] = {"coefs", "x"};

PyObject* evaluate_polynomial(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return invoke(module, "evaluate_polynomial()", EVALUATE_POLYNOMIAL_PARAMS, args, nargs, kwnames,
                  [](const Array<1>& coefs, const Array<1>& x) {
                      return quorvel::evaluate_polynomial(coefs.value, x.value);
                  });
}

constexpr const char* EXTENDED_COEFFICIENTS_PARAMS[] = {"values", "kernel", "bc_left", "bc_right"};

PyObject* extended_coefficients(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return invoke(module, "extended_coefficients()", EXTENDED_COEFFICIENTS_PARAMS, args, nargs, kwnames,
                  [](const Array<1>& values, const Text& kernel, const Text& bc_left, const Text& bc_right) {
                      return quorvel::extended_coefficients(values.value, kernel.value, bc_left.value,
                                                            bc_right.value);
                  });
}

constexpr const char* EXTENDED_COEFFICIENTS_ND_PARAMS[] = {"values", "kernel", "bcs"};

PyObject* extended_coefficients_nd(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return invoke(module, "extended_coefficients_nd()", EXTENDED_COEFFICIENTS_ND_PARAMS, args, nargs, kwnames,
                  [](const Array<-1>& values, const Text& kernel, const Sequence<NamePair>& bcs) {
                      return quorvel::extended_coefficients_nd(values.value, kernel.value, bcs.values());
                  });
}

PyMethodDef EVALUATE_POLYNOMIAL_DEF = function_def(
    "evaluate_polynomial", evaluate_polynomial,
    "evaluate_polynomial(coefs, x)\n--\n\n"
    "Python-visible: evaluate the polynomial at every point of the NumPy array `x`.");

PyMethodDef KERNEL_WEIGHTS_DEF = function_def(
    "kernel_weights", kernel_weights,
    "kernel_weights(kernel, order, tau)\n--\n\n"
    "Python-visible (for testing): the weights of all stencil columns of `kernel` (e.g. \"b5\")\n"
    "for derivative order `order`, at `tau` = 1 \u2212 t.");

PyMethodDef EXTENDED_COEFFICIENTS_DEF = function_def(
    "extended_coefficients", extended_coefficients,
    "extended_coefficients(values, kernel, bc_left, bc_right)\n--\n\n"
    "Python-visible (for testing): the data values extended by ghost values beyond each boundary,\n"
    "for `kernel` and the boundary conditions `bc_left` and `bc_right` (\"poly\", \"linear\",\n"
    "\"quadratic\" or \"detect\").");

PyMethodDef EXTENDED_COEFFICIENTS_ND_DEF = function_def(
    "extended_coefficients_nd", extended_coefficients_nd,
    "extended_coefficients_nd(values, kernel, bcs)\n--\n\n"
    "Python-visible (for testing): the N-D data array extended by ghost values beyond each\n"
    "boundary of every axis, for `kernel` and one (left, right) pair of boundary condition names\n"
    "per axis, e.g. [(\"poly\", \"poly\"), (\"detect\", \"linear\")] for 2D data.");

constexpr const char* INTERPOLANT_1D_PARAMS[] = {"x", "values", "kernel", "bc_left", "bc_right", "derivative"};

PyObject* interpolant_1d_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* module = PyType_GetModule(type);
    return invoke_new(module, "Interpolant1D.__new__()", INTERPOLANT_1D_PARAMS, args, kwargs,
                      [&](const Array<1>& x, const Array<1>& values, const Text& kernel, const Text& bc_left,
                          const Text& bc_right, const Int32& derivative) {
                          return new_instance(type, module,
                                              quorvel::Interpolant1D::create(x.value, values.value, kernel.value,
                                                                             bc_left.value, bc_right.value,
                                                                             derivative.value));
                      });
}

constexpr const char* EVALUATE_PARAMS[] = {"points"};

PyObject* interpolant_1d_evaluate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return invoke(PyType_GetModule(Py_TYPE(self)), "Interpolant1D.evaluate()", EVALUATE_PARAMS, args, nargs,
                  kwnames, [self](const Array<1>& points) {
                      return core_of<quorvel::Interpolant1D>(self).evaluate(points.value);
                  });
}

PyMethodDef INTERPOLANT_1D_METHODS[] = {
    function_def("evaluate", interpolant_1d_evaluate,
                 "evaluate($self, points)\n--\n\nEvaluate at every point of the NumPy array `points`"),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot INTERPOLANT_1D_SLOTS[] = {
    {Py_tp_new, reinterpret_cast<void*>(interpolant_1d_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<quorvel::Interpolant1D>)},
    {Py_tp_methods, INTERPOLANT_1D_METHODS},
    {Py_tp_doc, const_cast<char*>("Interpolant1D(x, values, kernel, bc_left, bc_right, derivative)\n--\n\n"
                                  "A 1D interpolant.")},
    {0, nullptr},
};

PyType_Spec INTERPOLANT_1D_SPEC = {"quorvel._core.Interpolant1D", sizeof(Instance<quorvel::Interpolant1D>), 0,
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, INTERPOLANT_1D_SLOTS};

constexpr const char* INTERPOLANT_ND_PARAMS[] = {"knots", "values", "kernel", "bcs", "derivatives"};

PyObject* interpolant_nd_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* module = PyType_GetModule(type);
    return invoke_new(module, "InterpolantND.__new__()", INTERPOLANT_ND_PARAMS, args, kwargs,
                      [&](const Sequence<Array<1>>& knots, const Array<-1>& values, const Text& kernel,
                          const Sequence<NamePair>& bcs, const Sequence<Int32>& derivatives) {
                          return new_instance(type, module,
                                              quorvel::InterpolantND::create(knots.values(), values.value,
                                                                             kernel.value, bcs.values(),
                                                                             derivatives.values()));
                      });
}

PyObject* interpolant_nd_evaluate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return invoke(PyType_GetModule(Py_TYPE(self)), "InterpolantND.evaluate()", EVALUATE_PARAMS, args, nargs,
                  kwnames, [self](const Array<2>& points) {
                      return core_of<quorvel::InterpolantND>(self).evaluate(points.value);
                  });
}

PyMethodDef INTERPOLANT_ND_METHODS[] = {
    function_def("evaluate", interpolant_nd_evaluate,
                 "evaluate($self, points)\n--\n\n"
                 "Evaluate at every row of `points`, an array of shape (number of points, number of axes)"),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot INTERPOLANT_ND_SLOTS[] = {
    {Py_tp_new, reinterpret_cast<void*>(interpolant_nd_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<quorvel::InterpolantND>)},
    {Py_tp_methods, INTERPOLANT_ND_METHODS},
    {Py_tp_doc, const_cast<char*>("InterpolantND(knots, values, kernel, bcs, derivatives)\n--\n\n"
                                  "An N-D interpolant.")},
    {0, nullptr},
};

PyType_Spec INTERPOLANT_ND_SPEC = {"quorvel._core.InterpolantND", sizeof(Instance<quorvel::InterpolantND>), 0,
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, INTERPOLANT_ND_SLOTS};

const Registration REGISTRATIONS[] = {
    {"evaluate_polynomial", [](PyObject* m) { return make_function(m, &EVALUATE_POLYNOMIAL_DEF); }},
    {"kernel_weights", [](PyObject* m) { return make_function(m, &KERNEL_WEIGHTS_DEF); }},
    {"extended_coefficients", [](PyObject* m) { return make_function(m, &EXTENDED_COEFFICIENTS_DEF); }},
    {"extended_coefficients_nd", [](PyObject* m) { return make_function(m, &EXTENDED_COEFFICIENTS_ND_DEF); }},
    {"Interpolant1D", [](PyObject* m) { return make_class(m, &INTERPOLANT_1D_SPEC); }},
    {"InterpolantND", [](PyObject* m) { return make_class(m, &INTERPOLANT_ND_SPEC); }},
};

int exec_module(PyObject* module) {
    if (!PyModule_Check(module)) {
        cast_error(module, "PyModule");
        return -1;
    }
    // NumPy's array interface, for every conversion of arrays.
    if (PyArray_ImportNumPyAPI() < 0) return -1;
    Ref panic(PyErr_NewExceptionWithDoc("quorvel._core.PanicException",
                                        "A broken internal invariant of quorvel; not an input error.",
                                        PyExc_BaseException, nullptr));
    if (!panic || PyModule_AddObjectRef(module, "PanicException", panic.get()) < 0) return -1;
    return register_all(module, REGISTRATIONS);
}

PyModuleDef_Slot SLOTS[] = {
    // Registration runs per module object (multi-phase initialisation).
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_gil
    // Instances are immutable and the module keeps no mutable state.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT,
    "_core",
    "The module definition: what Python sees when it imports quorvel._core.",
    0,
    nullptr,
    SLOTS,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__core(void) { return PyModuleDef_Init(&MODULE_DEF); }
