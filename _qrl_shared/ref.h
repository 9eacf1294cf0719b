// Owning references to Python objects, and the few other RAII guards the
// glue needs around the C API: critical sections and releasing the GIL.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <utility>

namespace qrl {

class Ref {
public:
    Ref() noexcept = default;
    // An empty reference, so that `return qrl::value_error(...)` fits any result type.
    Ref(std::nullptr_t) noexcept {}
    Ref(const Ref& other) noexcept : obj_(Py_XNewRef(other.obj_)) {}
    Ref(Ref&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
    ~Ref() { Py_XDECREF(obj_); }

    Ref& operator=(Ref other) noexcept {
        std::swap(obj_, other.obj_);
        return *this;
    }

    // Takes over a new reference (may be null after a failed call).
    static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
    // Takes a new reference to a borrowed object.
    static Ref borrow(PyObject* obj) noexcept { return Ref(Py_XNewRef(obj)); }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    // Gives the reference to the caller (for returning to the interpreter).
    PyObject* release() noexcept {
        PyObject* obj = obj_;
        obj_ = nullptr;
        return obj;
    }

private:
    explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

inline Ref steal(PyObject* obj) noexcept { return Ref::steal(obj); }
inline Ref borrow(PyObject* obj) noexcept { return Ref::borrow(obj); }

// An interned string (new reference).
inline Ref intern(const char* text) { return steal(PyUnicode_InternFromString(text)); }

// While alive, no other thread works on `obj` under its critical section:
// CPython's own per-object lock on a free-threaded build (lists and dicts
// take it for every change), nothing where the GIL serialises everything.
class CriticalSection {
public:
#ifdef Py_GIL_DISABLED
    explicit CriticalSection(PyObject* obj) { PyCriticalSection_Begin(&section_, obj); }
    ~CriticalSection() { PyCriticalSection_End(&section_); }
#else
    explicit CriticalSection(PyObject*) {}
#endif
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

private:
#ifdef Py_GIL_DISABLED
    PyCriticalSection section_;
#endif
};

// Releases the GIL around native work that touches no Python object.
class WithoutGil {
public:
    WithoutGil() : state_(PyEval_SaveThread()) {}
    ~WithoutGil() { PyEval_RestoreThread(state_); }
    WithoutGil(const WithoutGil&) = delete;
    WithoutGil& operator=(const WithoutGil&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace qrl

namespace qrl {

// An object kept by a module's state for the life of the process (a name,
// a constant), usable wherever a PyObject* is expected.
class Held {
public:
    Held() = default;
    Held(Ref ref) : ref_(std::move(ref)) {}
    operator PyObject*() const noexcept { return ref_.get(); }
    PyObject* get() const noexcept { return ref_.get(); }

private:
    Ref ref_;
};

// An interned name, held.
inline Held name(const char* text) { return Held(intern(text)); }

}  // namespace qrl
