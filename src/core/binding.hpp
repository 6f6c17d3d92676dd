// The binding layer shared by quorvel's extension modules: owned references,
// raising, argument binding and conversion, results, and the one road from
// Python arguments to a core operation and back.
//
// Every function, constructor and method takes one road:
//   bind the arguments to the parameter list (position or keyword),
//   convert each in parameter order (a failure gets the note
//     "while processing '<name>'"),
//   call one core operation, which returns a value or an error text,
//   convert the value to Python, or raise the error.
// `invoke` is that road; each Python-facing wrapper is one call of it with a
// lambda whose parameter types select the converters.
//
// Included by one binding file per module; everything has internal linkage.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <numpy/arrayobject.h>

#include <cstdint>
#include <exception>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "array.hpp"
#include "coefficients.hpp"
#include "result.hpp"

namespace {

using quorvel::ArrayView;
using quorvel::Error;
using quorvel::ErrorKind;
using quorvel::NdBuffer;
using quorvel::Result;

// ---------------------------------------------------------------------------
// Owned references.

// An owned (strong) reference, released when it goes out of scope.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* owned) : obj_(owned) {}
    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        std::swap(obj_, other.obj_);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(obj_); }

    PyObject* get() const { return obj_; }
    PyObject* release() { return std::exchange(obj_, nullptr); }
    explicit operator bool() const { return obj_ != nullptr; }

private:
    PyObject* obj_ = nullptr;
};

// Releases the interpreter lock (detaches the thread state) for its lifetime,
// and takes it back however the scope is left.  Only plain C++ work on data
// that the call's arguments keep alive may run inside.  Work too small to be
// worth the hand-over (`release` false) keeps the lock.
class WithoutLock {
public:
    explicit WithoutLock(bool release = true) : state_(release ? PyEval_SaveThread() : nullptr) {}
    ~WithoutLock() {
        if (state_ != nullptr) PyEval_RestoreThread(state_);
    }
    WithoutLock(const WithoutLock&) = delete;
    WithoutLock& operator=(const WithoutLock&) = delete;

private:
    PyThreadState* state_;
};

// ---------------------------------------------------------------------------
// Raising.

// The PanicException type of `module`; SystemError if it cannot be found.
inline PyObject* panic_type(PyObject* module) {
    PyObject* type = module == nullptr ? nullptr : PyObject_GetAttrString(module, "PanicException");
    if (type == nullptr) {
        PyErr_Clear();
        Py_INCREF(PyExc_SystemError);
        return PyExc_SystemError;
    }
    return type;
}

inline void raise_error(PyObject* module, const Error& error) {
    Ref message(PyUnicode_DecodeUTF8(error.message.data(), static_cast<Py_ssize_t>(error.message.size()),
                                     "replace"));
    if (!message) return;
    switch (error.kind) {
        case ErrorKind::value: PyErr_SetObject(PyExc_ValueError, message.get()); break;
        case ErrorKind::type: PyErr_SetObject(PyExc_TypeError, message.get()); break;
        case ErrorKind::panic: {
            Ref type(panic_type(module));
            PyErr_SetObject(type.get(), message.get());
            break;
        }
    }
}

// "'list' object is not an instance of 'ndarray'".
inline bool cast_error(PyObject* obj, const char* expected) {
    if (obj == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
        return false;
    }
    Ref name(PyType_GetQualName(Py_TYPE(obj)));
    if (name) PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), expected);
    return false;
}

// Attaches "while processing '<param>'" to the exception being raised.
inline void add_note(const char* param) {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = PyErr_GetRaisedException();
#else
    PyObject *type, *exc, *traceback;
    PyErr_Fetch(&type, &exc, &traceback);
    PyErr_NormalizeException(&type, &exc, &traceback);
    if (traceback != nullptr) PyException_SetTraceback(exc, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
#endif
    if (exc == nullptr) return;
    Ref note(PyUnicode_FromFormat("while processing '%s'", param));
    Ref added(note ? PyObject_CallMethod(exc, "add_note", "O", note.get()) : nullptr);
    if (!added) PyErr_Clear();  // keep the original exception rather than a failure to annotate it
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyErr_Restore(Py_NewRef(Py_TYPE(exc)), exc, PyException_GetTraceback(exc));
#endif
}

// ---------------------------------------------------------------------------
// Argument binding: every parameter is positional-or-keyword and required.

struct Signature {
    const char* callable;  // "kernel_weights()", "Interpolant1D.__new__()"
    std::span<const char* const> params;
};

class Binder {
public:
    Binder(const Signature& sig, PyObject** bound) : sig_(sig), bound_(bound) {
        for (std::size_t i = 0; i < sig.params.size(); ++i) bound_[i] = nullptr;
    }

    bool positional(PyObject* const* args, Py_ssize_t nargs) {
        const auto count = static_cast<Py_ssize_t>(sig_.params.size());
        if (nargs > count) {
            PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given", sig_.callable,
                         count, nargs, nargs == 1 ? "was" : "were");
            return false;
        }
        for (Py_ssize_t i = 0; i < nargs; ++i) bound_[i] = args[i];
        return true;
    }

    bool keyword(PyObject* name, PyObject* value) {
        for (std::size_t i = 0; i < sig_.params.size(); ++i) {
            if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, sig_.params[i]) == 0) {
                if (bound_[i] != nullptr) {
                    PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig_.callable,
                                 sig_.params[i]);
                    return false;
                }
                bound_[i] = value;
                return true;
            }
        }
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", sig_.callable, name);
        return false;
    }

    // "f() missing 2 required positional arguments: 'a' and 'b'".
    bool complete() {
        std::vector<const char*> missing;
        for (std::size_t i = 0; i < sig_.params.size(); ++i)
            if (bound_[i] == nullptr) missing.push_back(sig_.params[i]);
        if (missing.empty()) return true;
        std::string names;
        for (std::size_t i = 0; i < missing.size(); ++i) {
            if (i > 0) names += missing.size() == 2 ? " and " : i + 1 == missing.size() ? ", and " : ", ";
            names += '\'';
            names += missing[i];
            names += '\'';
        }
        PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s", sig_.callable,
                     missing.size(), missing.size() == 1 ? "" : "s", names.c_str());
        return false;
    }

private:
    const Signature& sig_;
    PyObject** bound_;
};

// Vectorcall arguments: positional ones, then the values of `kwnames`.
inline bool bind_fast(Binder& binder, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!binder.positional(args, nargs)) return false;
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i)
        if (!binder.keyword(PyTuple_GET_ITEM(kwnames, i), args[nargs + i])) return false;
    return binder.complete();
}

// Tuple-and-dict arguments of a constructor.
inline bool bind_tuple(Binder& binder, PyObject* args, PyObject* kwargs) {
    if (!binder.positional(&PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args))) return false;
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *name, *value;
        while (PyDict_Next(kwargs, &pos, &name, &value))
            if (!binder.keyword(name, value)) return false;
    }
    return binder.complete();
}

// ---------------------------------------------------------------------------
// Converters, one per declared parameter kind.  Each `from` fills its value
// from a borrowed object, or sets a Python error and returns false.  Values
// borrow from the argument objects, which outlive the call.

struct Text {
    std::string_view value;

    bool from(PyObject* obj) {
        if (!PyUnicode_Check(obj)) return cast_error(obj, "str");
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
        if (utf8 == nullptr) return false;
        value = std::string_view(utf8, static_cast<std::size_t>(size));
        return true;
    }
};

struct Int32 {
    std::int32_t value = 0;

    bool from(PyObject* obj) {
        const long long wide = PyLong_AsLongLong(obj);
        if (wide == -1 && PyErr_Occurred()) return false;
        if (wide < std::numeric_limits<std::int32_t>::min() || wide > std::numeric_limits<std::int32_t>::max()) {
            PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
            return false;
        }
        value = static_cast<std::int32_t>(wide);
        return true;
    }
};

struct Float {
    double value = 0.0;

    bool from(PyObject* obj) {
        value = PyFloat_CheckExact(obj) ? PyFloat_AS_DOUBLE(obj) : PyFloat_AsDouble(obj);
        return !(value == -1.0 && PyErr_Occurred());
    }
};

// A float64 ndarray (or subclass) of `Dims` axes (any number when negative),
// any strides.  Misaligned data are read from an aligned copy so that the
// core always sees whole doubles; such an array does not count as contiguous.
template <int Dims>
struct Array {
    Ref keep;  // the aligned copy, when one was needed
    std::vector<std::size_t> shape;
    std::vector<std::ptrdiff_t> strides;
    ArrayView value;

    bool from(PyObject* obj) {
        if (!PyArray_Check(obj)) return cast_error(obj, "ndarray");
        auto* array = reinterpret_cast<PyArrayObject*>(obj);
        if (Dims >= 0 && PyArray_NDIM(array) != Dims) return cast_error(obj, "ndarray");
        Ref float64(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_DOUBLE)));
        if (!PyArray_EquivTypes(PyArray_DESCR(array),
                                reinterpret_cast<PyArray_Descr*>(float64.get())))
            return cast_error(obj, "ndarray");
        const bool aligned = PyArray_ISALIGNED(array);
        value.contiguous = aligned && (PyArray_IS_C_CONTIGUOUS(array) || PyArray_IS_F_CONTIGUOUS(array));
        if (!aligned) {
            keep = Ref(PyArray_NewCopy(array, NPY_CORDER));
            if (!keep) return false;
            array = reinterpret_cast<PyArrayObject*>(keep.get());
        }
        const int ndim = PyArray_NDIM(array);
        shape.assign(PyArray_DIMS(array), PyArray_DIMS(array) + ndim);
        strides.resize(static_cast<std::size_t>(ndim));
        for (int i = 0; i < ndim; ++i)
            strides[i] = PyArray_STRIDES(array)[i] / static_cast<npy_intp>(sizeof(double));
        value.data = static_cast<const double*>(PyArray_DATA(array));
        value.shape = shape;
        value.strides = strides;
        return true;
    }
};

// A (str, str) tuple: the left and right boundary condition names of one axis.
struct NamePair {
    quorvel::BoundaryNames value;

    bool from(PyObject* obj) {
        if (!PyTuple_Check(obj)) return cast_error(obj, "tuple");
        if (PyTuple_GET_SIZE(obj) != 2) {
            PyErr_Format(PyExc_TypeError, "expected tuple of length 2, but got tuple of length %zd",
                         PyTuple_GET_SIZE(obj));
            return false;
        }
        Text left, right;
        if (!left.from(PyTuple_GET_ITEM(obj, 0)) || !right.from(PyTuple_GET_ITEM(obj, 1))) return false;
        value = {left.value, right.value};
        return true;
    }
};

// Any sequence but a str, iterated once, each item converted as `Item`.
template <class Item>
struct Sequence {
    std::vector<Ref> keep;  // the items, alive while their converted values borrow from them
    std::vector<Item> items;

    bool from(PyObject* obj) {
        if (PyUnicode_Check(obj)) {
            PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
            return false;
        }
        if (!PySequence_Check(obj)) {
            const int is_sequence = is_abc_sequence(obj);
            if (is_sequence <= 0) return is_sequence == 0 ? cast_error(obj, "Sequence") : false;
        }
        Ref iterator(PyObject_GetIter(obj));
        if (!iterator) return false;
        while (PyObject* item = PyIter_Next(iterator.get())) {
            keep.emplace_back(item);
            if (!items.emplace_back().from(item)) return false;
        }
        return !PyErr_Occurred();
    }

    auto values() const {
        std::vector<decltype(Item::value)> out;
        out.reserve(items.size());
        for (const Item& item : items) out.push_back(item.value);
        return out;
    }

    static int is_abc_sequence(PyObject* obj) {
        Ref abc(PyImport_ImportModule("collections.abc"));
        Ref sequence(abc ? PyObject_GetAttrString(abc.get(), "Sequence") : nullptr);
        return sequence ? PyObject_IsInstance(obj, sequence.get()) : -1;
    }
};

// Converts `obj` into `out`, attaching the parameter's note on failure.
template <class T>
bool convert(PyObject* obj, T& out, const char* param) {
    if (out.from(obj)) return true;
    add_note(param);
    return false;
}

// ---------------------------------------------------------------------------
// Results.

inline PyObject* to_python(PyObject*, std::vector<double>&& values) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = PyFloat_FromDouble(values[i]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

// A result's storage, with its size in the capsule's context where it may be
// kept for the next result (none: freed at once).
void free_result(PyObject* capsule) {
    quorvel::Buffer::free_result(PyCapsule_GetPointer(capsule, nullptr),
                                 reinterpret_cast<std::uintptr_t>(PyCapsule_GetContext(capsule)));
}

// A new float64 array that takes over the buffer; a capsule owns the storage.
inline PyObject* to_python(PyObject*, NdBuffer&& result) {
    std::vector<npy_intp> dims(result.shape.begin(), result.shape.end());
    const int ndim = static_cast<int>(dims.size());
    if (result.values.data() == nullptr) return PyArray_SimpleNew(ndim, dims.data(), NPY_DOUBLE);
    Ref array(PyArray_SimpleNewFromData(ndim, dims.data(), NPY_DOUBLE, result.values.data()));
    if (!array) return nullptr;
    const bool kept = result.values.kept_when_freed();
    Ref owner(PyCapsule_New(result.values.data(), nullptr, free_result));
    if (!owner) return nullptr;
    const std::size_t size = result.values.size();
    result.values.release();
    if (kept && PyCapsule_SetContext(owner.get(), reinterpret_cast<void*>(static_cast<std::uintptr_t>(size))) < 0)
        return nullptr;
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), owner.release()) < 0)
        return nullptr;
    return array.release();
}

// An operation that writes into memory the caller gave gives back None.
inline PyObject* to_python(PyObject*, quorvel::Ok) { Py_RETURN_NONE; }

template <class T>
PyObject* to_python(PyObject* module, Result<T>&& result) {
    if (!result) {
        raise_error(module, result.error());
        return nullptr;
    }
    return to_python(module, std::move(*result));
}

// ---------------------------------------------------------------------------
// The one road from Python arguments to a core operation and back.

template <class F>
struct Parameters : Parameters<decltype(&F::operator())> {};
template <class C, class R, class... A>
struct Parameters<R (C::*)(A...) const> {
    using Holders = std::tuple<std::remove_cvref_t<A>...>;
};

template <class Holders, std::size_t... I>
bool convert_all(const Signature& sig, PyObject* const* bound, Holders& holders, std::index_sequence<I...>) {
    return (convert(bound[I], std::get<I>(holders), sig.params[I]) && ...);
}

// Converts the bound arguments, runs `body` on the converted values and hands
// back its result as a Python object.  The body returns either a Python
// object (new reference) or a core result for `to_python`.
template <class Body>
PyObject* run(PyObject* module, const Signature& sig, PyObject* const* bound, Body&& body) {
    using Holders = typename Parameters<std::remove_cvref_t<Body>>::Holders;
    try {
        Holders holders;
        if (!convert_all(sig, bound, holders, std::make_index_sequence<std::tuple_size_v<Holders>>()))
            return nullptr;
        auto result = std::apply(body, holders);
        if constexpr (std::is_same_v<decltype(result), PyObject*>)
            return result;
        else
            return to_python(module, std::move(result));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_error(module, quorvel::panic(e.what()));
        return nullptr;
    }
}

template <std::size_t N, class Body>
PyObject* invoke_new(PyObject* module, const char* callable, const char* const (&params)[N], PyObject* args,
                     PyObject* kwargs, Body&& body) {
    const Signature sig{callable, params};
    PyObject* bound[N];
    Binder binder(sig, bound);
    if (!bind_tuple(binder, args, kwargs)) return nullptr;
    return run(module, sig, bound, std::forward<Body>(body));
}

template <std::size_t N, class Body>
PyObject* invoke(PyObject* module, const char* callable, const char* const (&params)[N], PyObject* const* args,
                 Py_ssize_t nargs, PyObject* kwnames, Body&& body) {
    const Signature sig{callable, params};
    PyObject* bound[N];
    Binder binder(sig, bound);
    if (!bind_fast(binder, args, nargs, kwnames)) return nullptr;
    return run(module, sig, bound, std::forward<Body>(body));
}

using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

inline PyMethodDef function_def(const char* name, FastFunction function, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

// ---------------------------------------------------------------------------
// Classes: immutable instances that own one built interpolant.

template <class Core>
struct Instance {
    PyObject_HEAD
    Core* core;
};

template <class Core>
const Core& core_of(PyObject* self) {
    return *reinterpret_cast<Instance<Core>*>(self)->core;
}

// Wraps a built interpolant into a new instance; nothing is allocated for a
// construction that failed.
template <class Core>
PyObject* new_instance(PyTypeObject* type, PyObject* module, Result<Core>&& built) {
    if (!built) {
        raise_error(module, built.error());
        return nullptr;
    }
    auto core = std::make_unique<Core>(std::move(*built));
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<Instance<Core>*>(self)->core = core.release();
    return self;
}

template <class Core>
void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<Instance<Core>*>(self)->core;
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

inline PyObject* make_class(PyObject* module, PyType_Spec* spec) {
    return PyType_FromModuleAndSpec(module, spec, nullptr);
}

// ---------------------------------------------------------------------------
// Module execution: registers everything, in order, and lists it in __all__.

inline PyObject* make_function(PyObject* module, PyMethodDef* def) {
    Ref name(PyModule_GetNameObject(module));
    return name ? PyCFunction_NewEx(def, module, name.get()) : nullptr;
}

struct Registration {
    const char* name;
    PyObject* (*make)(PyObject* module);
};

// Appends `name` to the module's __all__, creating the list on first use.
inline int add_to_all(PyObject* module, const char* name) {
    PyObject* all = PyDict_GetItemString(PyModule_GetDict(module), "__all__");  // borrowed
    if (all == nullptr) {
        Ref created(PyList_New(0));
        if (!created || PyModule_AddObjectRef(module, "__all__", created.get()) < 0) return -1;
        all = created.get();  // the module now holds it
    }
    Ref item(PyUnicode_FromString(name));
    return item ? PyList_Append(all, item.get()) : -1;
}

// Makes every registered object, adds it to the module and to its __all__.
template <std::size_t N>
int register_all(PyObject* module, const Registration (&registrations)[N]) {
    for (const Registration& reg : registrations) {
        Ref obj(reg.make(module));
        if (!obj || PyModule_AddObjectRef(module, reg.name, obj.get()) < 0) return -1;
        if (add_to_all(module, reg.name) < 0) return -1;
    }
    return 0;
}

}  // namespace
