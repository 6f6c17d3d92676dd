// quorvel._engine: the interpolant that quorvel.Interpolator evaluates
// through.  It computes what quorvel._core computes, bit for bit, but runs the
// numerical work without the interpreter lock and on worker threads.  The
// arguments are converted, and the results built, with the lock held; the
// module keeps no reference to an argument after a call.

#include "binding.hpp"
#include "engine.hpp"

namespace {

using quorvel::Interpolant;

// Coordinates below which a call keeps the interpreter lock: handing it over
// and back costs more than evaluating them.
constexpr std::size_t SMALL_WORK = 512;

// A positive number of threads.
struct Workers {
    std::size_t value = 1;

    bool from(PyObject* obj) {
        Ref index(PyNumber_Index(obj));
        if (!index) return false;
        const Py_ssize_t count = PyLong_AsSsize_t(index.get());
        if (count == -1 && PyErr_Occurred()) return false;
        if (count < 1) {
            PyErr_Format(PyExc_ValueError, "workers: expected a positive number of threads, got %zd", count);
            return false;
        }
        value = static_cast<std::size_t>(count);
        return true;
    }
};

// "raise", "nan" or "clip".
struct Mode {
    quorvel::RangeMode value = quorvel::RangeMode::raise;

    bool from(PyObject* obj) {
        Text name;
        if (!name.from(obj)) return false;
        if (name.value == "raise") value = quorvel::RangeMode::raise;
        else if (name.value == "nan") value = quorvel::RangeMode::nan;
        else if (name.value == "clip") value = quorvel::RangeMode::clip;
        else {
            PyErr_Format(PyExc_ValueError, "mode: expected 'raise', 'nan' or 'clip', got %R", obj);
            return false;
        }
        return true;
    }
};

// An array the results are written into: float64, C-contiguous, aligned and
// writeable, its elements in order.
struct Output {
    std::span<double> value;

    bool from(PyObject* obj) {
        if (!PyArray_Check(obj)) return cast_error(obj, "ndarray");
        auto* array = reinterpret_cast<PyArrayObject*>(obj);
        Ref float64(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_DOUBLE)));
        if (!PyArray_EquivTypes(PyArray_DESCR(array), reinterpret_cast<PyArray_Descr*>(float64.get())) ||
            !PyArray_IS_C_CONTIGUOUS(array) || !PyArray_ISALIGNED(array) || !PyArray_ISWRITEABLE(array)) {
            PyErr_SetString(PyExc_ValueError, "out: expected a writeable, aligned, C-contiguous float64 array");
            return false;
        }
        value = {static_cast<double*>(PyArray_DATA(array)), static_cast<std::size_t>(PyArray_SIZE(array))};
        return true;
    }
};

// ---------------------------------------------------------------------------
// The class.

constexpr const char* INTERPOLANT_PARAMS[] = {"knots", "values", "kernel", "bcs", "orders", "workers"};

PyObject* interpolant_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* module = PyType_GetModule(type);
    return invoke_new(module, "Interpolant.__new__()", INTERPOLANT_PARAMS, args, kwargs,
                      [&](const Sequence<Array<1>>& knots, const Array<-1>& values, const Text& kernel,
                          const Sequence<NamePair>& bcs, const Sequence<Int32>& orders, const Workers& workers) {
                          auto built = [&] {
                              WithoutLock unlocked;
                              return Interpolant::create(knots.values(), values.value, kernel.value,
                                                         bcs.values(), orders.values(), workers.value);
                          }();
                          return new_instance(type, module, std::move(built));
                      });
}

constexpr const char* WITH_ORDERS_PARAMS[] = {"orders", "workers"};

PyObject* interpolant_with_orders(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* module = PyType_GetModule(Py_TYPE(self));
    return invoke(module, "Interpolant.with_orders()", WITH_ORDERS_PARAMS, args, nargs, kwnames,
                  [&](const Sequence<Int32>& orders, const Workers& workers) {
                      auto derived = [&] {
                          WithoutLock unlocked;
                          return core_of<Interpolant>(self).with_orders(orders.values(), workers.value);
                      }();
                      return new_instance(Py_TYPE(self), module, std::move(derived));
                  });
}

constexpr const char* EVALUATE_PARAMS[] = {"points", "mode", "workers"};

PyObject* interpolant_evaluate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return invoke(PyType_GetModule(Py_TYPE(self)), "Interpolant.evaluate()", EVALUATE_PARAMS, args, nargs,
                  kwnames, [self](const Array<-1>& points, const Mode& mode, const Workers& workers) {
                      WithoutLock unlocked(points.value.size() >= SMALL_WORK);
                      return core_of<Interpolant>(self).evaluate(points.value, mode.value, workers.value);
                  });
}

constexpr const char* EVALUATE_INTO_PARAMS[] = {"points", "out", "mode", "workers"};

PyObject* interpolant_evaluate_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return invoke(PyType_GetModule(Py_TYPE(self)), "Interpolant.evaluate_into()", EVALUATE_INTO_PARAMS, args, nargs,
                  kwnames, [self](const Array<-1>& points, const Output& out, const Mode& mode, const Workers& workers) {
                      WithoutLock unlocked(points.value.size() >= SMALL_WORK);
                      return core_of<Interpolant>(self).evaluate(points.value, mode.value, workers.value, out.value);
                  });
}

// The shared storage of a data view, owned by the capsule at the base of the
// arrays that show it.
void release_storage(PyObject* capsule) {
    delete static_cast<std::shared_ptr<const quorvel::Buffer>*>(PyCapsule_GetPointer(capsule, "quorvel.storage"));
}

// A read-only array over the data held by the interpolant, which keeps the
// storage alive as long as the array lives.  Its base is no array and lends
// no writable buffer, so the array can never be made writeable.
PyObject* interpolant_values(PyObject* self, void*) try {
    const Interpolant::Data data = core_of<Interpolant>(self).data();
    auto storage = std::make_unique<std::shared_ptr<const quorvel::Buffer>>(data.storage);
    Ref owner(PyCapsule_New(storage.get(), "quorvel.storage", release_storage));
    if (!owner) return nullptr;
    storage.release();
    std::vector<npy_intp> dims(data.shape.begin(), data.shape.end());
    std::vector<npy_intp> strides;
    for (std::ptrdiff_t stride : data.strides) strides.push_back(static_cast<npy_intp>(stride * sizeof(double)));
    auto* start = const_cast<double*>(data.storage->data() + data.offset);
    Ref array(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_DOUBLE), static_cast<int>(dims.size()),
                                   dims.data(), strides.data(), start, NPY_ARRAY_ALIGNED, nullptr));
    if (!array || PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), owner.release()) < 0)
        return nullptr;
    return array.release();
} catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
}

PyGetSetDef INTERPOLANT_GETSET[] = {
    {"values", interpolant_values, nullptr,
     "The data, with their value axes, as a read-only array over the interpolant's own storage.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* ON_GRID_PARAMS[] = {"coordinates", "mode", "workers"};

PyObject* interpolant_on_grid(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return invoke(PyType_GetModule(Py_TYPE(self)), "Interpolant.on_grid()", ON_GRID_PARAMS, args, nargs, kwnames,
                  [self](const Sequence<Array<-1>>& coordinates, const Mode& mode, const Workers& workers) {
                      std::size_t count = 1;
                      for (const auto& axis : coordinates.items) count *= axis.value.size();
                      WithoutLock unlocked(count >= SMALL_WORK);
                      return core_of<Interpolant>(self).on_grid(coordinates.values(), mode.value, workers.value);
                  });
}

constexpr const char* ON_GRID_INTO_PARAMS[] = {"coordinates", "out", "mode", "workers"};

PyObject* interpolant_on_grid_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return invoke(PyType_GetModule(Py_TYPE(self)), "Interpolant.on_grid_into()", ON_GRID_INTO_PARAMS, args, nargs,
                  kwnames,
                  [self](const Sequence<Array<-1>>& coordinates, const Output& out, const Mode& mode,
                         const Workers& workers) {
                      WithoutLock unlocked(out.value.size() >= SMALL_WORK);
                      return core_of<Interpolant>(self).on_grid(coordinates.values(), mode.value, workers.value,
                                                                out.value);
                  });
}

constexpr const char* DERIVATIVES_PARAMS[] = {"points", "degree", "mode", "workers"};

PyObject* interpolant_derivatives(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return invoke(PyType_GetModule(Py_TYPE(self)), "Interpolant.derivatives()", DERIVATIVES_PARAMS, args, nargs,
                  kwnames,
                  [self](const Array<-1>& points, const Int32& degree, const Mode& mode,
                         const Workers& workers) -> Result<NdBuffer> {
                      if (degree.value != 1 && degree.value != 2)
                          return quorvel::value_error("degree: expected 1 (the gradient) or 2 (the Hessian)");
                      WithoutLock unlocked(points.value.size() >= SMALL_WORK);
                      return core_of<Interpolant>(self).derivatives(
                          points.value, static_cast<unsigned>(degree.value), mode.value, workers.value);
                  });
}

constexpr const char* INTEGRATE_PARAMS[] = {"lower", "upper", "mode"};

PyObject* interpolant_integrate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return invoke(PyType_GetModule(Py_TYPE(self)), "Interpolant.integrate()", INTEGRATE_PARAMS, args, nargs, kwnames,
                  [self](const Array<1>& lower, const Array<1>& upper, const Mode& mode) {
                      WithoutLock unlocked;  // the work grows with the data the box holds
                      return core_of<Interpolant>(self).integrate(lower.value, upper.value, mode.value);
                  });
}

// ---------------------------------------------------------------------------
// The module's function.

constexpr const char* REGRID_PARAMS[] = {"knots",       "values", "kernel", "bcs", "orders",
                                         "coordinates", "mode",   "workers"};

PyObject* regrid(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return invoke(module, "regrid()", REGRID_PARAMS, args, nargs, kwnames,
                  [](const Sequence<Array<1>>& knots, const Array<-1>& values, const Text& kernel,
                     const Sequence<NamePair>& bcs, const Sequence<Int32>& orders,
                     const Sequence<Array<-1>>& coordinates, const Mode& mode, const Workers& workers) {
                      WithoutLock unlocked;
                      return Interpolant::regrid(knots.values(), values.value, kernel.value, bcs.values(),
                                                 orders.values(), coordinates.values(), mode.value, workers.value);
                  });
}

PyMethodDef REGRID_DEF = function_def(
    "regrid", regrid,
    "regrid(knots, values, kernel, bcs, orders, coordinates, mode, workers)\n--\n\n"
    "What Interpolant(knots, values, kernel, bcs, orders, workers).on_grid(coordinates, mode,\n"
    "workers) gives, bit for bit, reading data of two or more axes slab by slab instead of copying\n"
    "them whole.");

PyMethodDef INTERPOLANT_METHODS[] = {
    function_def("with_orders", interpolant_with_orders,
                 "with_orders($self, orders, workers)\n--\n\n"
                 "The interpolant of the same data at other derivative orders (negative: antiderivative),\n"
                 "sharing the extended data."),
    function_def("evaluate", interpolant_evaluate,
                 "evaluate($self, points, mode, workers)\n--\n\n"
                 "The values at `points` (a 1-D array in one dimension, rows of coordinates otherwise);\n"
                 "`mode` says what points outside the data range give (\"raise\", \"nan\" or \"clip\"),\n"
                 "`workers` how many threads may share the work."),
    function_def("evaluate_into", interpolant_evaluate_into,
                 "evaluate_into($self, points, out, mode, workers)\n--\n\n"
                 "The values at `points`, as evaluate() gives them, written to `out`, a C-contiguous\n"
                 "float64 array of as many elements, not sharing memory with `points`; gives None.  A point\n"
                 "outside the range may leave some values written."),
    function_def("derivatives", interpolant_derivatives,
                 "derivatives($self, points, degree, mode, workers)\n--\n\n"
                 "The first (degree 1) or second (degree 2) derivatives along every axis at `points`."),
    function_def("integrate", interpolant_integrate,
                 "integrate($self, lower, upper, mode)\n--\n\n"
                 "The integral of an interpolant of values or derivatives over the interval or box from\n"
                 "`lower` to `upper` (one bound per axis each), an array of the value axes' shape."),
    function_def("on_grid", interpolant_on_grid,
                 "on_grid($self, coordinates, mode, workers)\n--\n\n"
                 "The values on the product of one 1-D array of coordinates per axis."),
    function_def("on_grid_into", interpolant_on_grid_into,
                 "on_grid_into($self, coordinates, out, mode, workers)\n--\n\n"
                 "The values on the product, as on_grid() gives them, written to `out` as evaluate_into()\n"
                 "writes them; gives None."),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot INTERPOLANT_SLOTS[] = {
    {Py_tp_new, reinterpret_cast<void*>(interpolant_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<Interpolant>)},
    {Py_tp_methods, INTERPOLANT_METHODS},
    {Py_tp_getset, INTERPOLANT_GETSET},
    {Py_tp_doc, const_cast<char*>("Interpolant(knots, values, kernel, bcs, orders, workers)\n--\n\n"
                                  "An interpolant of data on a uniform grid, one- or N-dimensional, evaluated\n"
                                  "without the interpreter lock.")},
    {0, nullptr},
};

PyType_Spec INTERPOLANT_SPEC = {"quorvel._engine.Interpolant", sizeof(Instance<Interpolant>), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, INTERPOLANT_SLOTS};

// ---------------------------------------------------------------------------
// Module execution.

const Registration REGISTRATIONS[] = {
    {"Interpolant", [](PyObject* m) { return make_class(m, &INTERPOLANT_SPEC); }},
    {"regrid", [](PyObject* m) { return make_function(m, &REGRID_DEF); }},
};

int exec_module(PyObject* module) {
    // NumPy's array interface, for every conversion of arrays.
    if (PyArray_ImportNumPyAPI() < 0) return -1;
    // Broken invariants raise the one PanicException of the package.
    Ref core(PyImport_ImportModule("quorvel._core"));
    Ref panic(core ? PyObject_GetAttrString(core.get(), "PanicException") : nullptr);
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
    "_engine",
    "The interpolant under quorvel.Interpolator: quorvel._core's arithmetic, evaluated without the\n"
    "interpreter lock and on worker threads.",
    0,
    nullptr,
    SLOTS,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__engine(void) { return PyModuleDef_Init(&MODULE_DEF); }
