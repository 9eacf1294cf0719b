// The shared extension runtime: C++ glue over the CPython C API used by every
// module of the library. No cryptography lives here.
//
//  * Ref            owning reference (RAII)
//  * FunctionSpec   declarative description of a module function: parameters,
//                   argument kinds, defaults, annotations, implementation
//  * ModuleDefinition  multi-phase module definition with the once-per-process
//                   and one-interpreter guard
//  * globals, calls, unpacking, exception-handling scope, integer/bytes helpers
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>
#include <utility>

namespace qrl {

// ---------------------------------------------------------------------------
// Owning references

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

// An interned string (new reference). Set-up code keeps such names for the
// life of the process.
Ref intern(const char* text);

// ---------------------------------------------------------------------------
// Module functions

// How an argument is checked and converted on entry.
enum class Arg : std::uint8_t {
    Any,          // no check
    Bytes,        // exactly bytes
    Str,          // exactly str
    Dict,         // exactly dict
    BytesOrNone,  // exactly bytes, or None
    StrOrNone,    // exactly str, or None
    DictOrNone,   // exactly dict, or None
    Int,          // any number, converted with int()
    Bool,         // any object, taken by its truth value
};

enum class Default : std::uint8_t { Required, None, True, False, Int };

struct Param {
    const char* name = nullptr;
    Arg kind = Arg::Any;
    const char* annotation = nullptr;  // text of the declared type, or none
    Default default_kind = Default::Required;
    long default_int = 0;
};

inline constexpr int kMaxParams = 8;

class Call;
using Impl = PyObject* (*)(Call& call);

// Declared as a static aggregate with designated initialisers; unused
// parameter slots keep a null name.
struct FunctionSpec {
    const char* name;
    const char* qualname = nullptr;  // nullptr: same as name
    const char* doc = nullptr;
    Param params[kMaxParams] = {};
    const char* return_annotation = nullptr;  // nullptr: not annotated
    Impl impl = nullptr;
};

// The arguments of one call, checked and converted, in declaration order.
// Converted values (ints, bools) are owned here; the others are borrowed from
// the caller, who keeps them alive for the duration of the call.
class Call {
public:
    PyObject* operator[](int index) const noexcept { return args_[index]; }
    // The module's global namespace (its __dict__).
    PyObject* globals() const noexcept;
    // The function object being called.
    PyObject* function() const noexcept { return function_; }

private:
    friend struct FunctionAccess;
    PyObject* function_ = nullptr;
    PyObject* args_[kMaxParams] = {};
    Ref owned_[kMaxParams];
};

// Creates a function object for `spec` whose globals are the dict of `module`
// and whose __module__ is the module's __name__. `spec` must outlive the
// process (a static).
Ref make_function(const FunctionSpec& spec, PyObject* module);
// Creates it and binds it as a module attribute (by its name).
bool add_function(PyObject* module, const FunctionSpec& spec);
// True if `obj` is a function object of this library.
bool is_function(PyObject* obj);

// ---------------------------------------------------------------------------
// Modules

using ModuleBody = int (*)(PyObject* module);

// A module of the library: multi-phase initialisation with the guard that
// makes it a once-per-process module in one interpreter. A second import
// after removal from sys.modules gives back the same module object.
// Declared as a static object and entered with module_init<definition>().
class ModuleDefinition {
public:
    ModuleDefinition(const char* qualified_name, const char* short_name, const char* doc, ModuleBody body);
    // The PyInit_* result; `exec_slot` runs exec() of this definition.
    PyObject* init(int (*exec_slot)(PyObject*));
    // Runs the body once, on the first module object only.
    int exec(PyObject* module);

private:
    static PyObject* create(PyObject* spec, PyModuleDef* def);
    static ModuleDefinition* from_def(PyModuleDef* def);

    PyModuleDef def_;
    PyModuleDef_Slot slots_[4];
    const char* short_name_;
    ModuleBody body_;
    PyObject* module_ = nullptr;       // the one module object of the process
    std::int64_t interpreter_ = -1;    // the interpreter that loaded it
};

// The exec slot of one definition. It must not depend on the module object
// it is given, which may be a foreign one (then it refuses with the
// re-initialisation error).
template <ModuleDefinition& Definition>
int module_exec(PyObject* module) {
    return Definition.exec(module);
}

template <ModuleDefinition& Definition>
PyObject* module_init() {
    return Definition.init(&module_exec<Definition>);
}

// Imports `name` and binds it in `module` under the last component of the
// name (as `import x` does). Returns the module (new reference).
Ref import_into(PyObject* module, const char* name);
// Binds a new reference under `name` in the module; false on error.
bool bind(PyObject* module, const char* name, Ref value);
// Makes sure the shared runtime (_qrl_shared) is initialised.
bool require_runtime();

// `from <module> import <fromlist>` at call time, relative to the package of
// the module whose globals are given when `level` is 1 (as `from .x import`).
Ref import_module(PyObject* globals, const char* module, PyObject* fromlist, int level);
// The name imported from a module imported by import_module.
Ref import_from(PyObject* module, PyObject* name);
// `from .<module> import <from...>` (level 1; 0 for an absolute import) at
// call time, relative to the package of the module whose globals are given;
// fills `out` in the order of `from`.
bool import_names(PyObject* globals, const char* module, std::initializer_list<PyObject*> from, std::span<Ref> out,
                  int level = 1);

// ---------------------------------------------------------------------------
// Globals and calls

// Looks up a module global as Python code does: the module dict, then the
// builtins; NameError when neither has it. New reference.
Ref global(PyObject* globals, PyObject* name);
// True when the module dict currently binds `name` to exactly `original`.
bool global_is(PyObject* globals, PyObject* name, PyObject* original);

Ref getattr(PyObject* obj, PyObject* name);

template <typename... Args>
Ref call(PyObject* callable, Args... args) {
    PyObject* argv[] = {nullptr, args...};
    return steal(PyObject_Vectorcall(callable, argv + 1, sizeof...(args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
inline Ref call(PyObject* callable) { return steal(PyObject_CallNoArgs(callable)); }

// Calls with positional arguments followed by keyword arguments whose names
// are the tuple `kwnames` (interned strings).
Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwnames);

template <typename... Args>
Ref call_method(PyObject* obj, PyObject* name, Args... args) {
    PyObject* argv[] = {obj, args...};
    return steal(PyObject_VectorcallMethod(name, argv, (1 + sizeof...(args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Calls the module global `name` (looked up at call time).
template <typename... Args>
Ref call_global(PyObject* globals, PyObject* name, Args... args) {
    Ref fn = global(globals, name);
    if (!fn) return {};
    return call(fn.get(), args...);
}

// Looks up global `module_name`, then its attribute `attr_name`, and calls it.
template <typename... Args>
Ref call_global_attr(PyObject* globals, PyObject* module_name, PyObject* attr_name, Args... args) {
    Ref mod = global(globals, module_name);
    if (!mod) return {};
    Ref fn = getattr(mod.get(), attr_name);
    if (!fn) return {};
    return call(fn.get(), args...);
}

// base64.<fn>(arg) for the module global `module_name` (normally the
// standard base64 module), with one positional argument. While that module
// and what the function relies on are as they were at import, the call goes
// straight to binascii, as the function itself would.
enum class Base64Fn { b64encode, b64decode, urlsafe_b64encode, urlsafe_b64decode };
Ref base64_call(PyObject* globals, PyObject* module_name, Base64Fn fn, PyObject* arg);

// Truth value of a new reference; -1 on error (also when `obj` is null).
int truth(const Ref& obj);

// ---------------------------------------------------------------------------
// Unpacking with the messages of compiled Python code:
// "need more than N value(s) to unpack", "too many values to unpack (expected N)".
bool unpack(PyObject* obj, std::span<Ref> out);

// ---------------------------------------------------------------------------
// Exceptions

// Raises `type` with `message`; always returns nullptr for `return raise(...)`.
std::nullptr_t raise(PyObject* type, const char* message);
inline std::nullptr_t value_error(const char* message) { return raise(PyExc_ValueError, message); }

// While alive, the exception it was given is "being handled" (as inside an
// except block): exceptions raised meanwhile get it as their __context__.
class HandlingScope {
public:
    explicit HandlingScope(PyObject* exception);
    ~HandlingScope();
    HandlingScope(const HandlingScope&) = delete;
    HandlingScope& operator=(const HandlingScope&) = delete;

private:
    PyObject* previous_;
};

// Takes the raised exception (new reference) and clears the error indicator.
Ref fetch_exception();
// Raises again an exception taken with fetch_exception.
void restore_exception(Ref exception);

// ---------------------------------------------------------------------------
// Integers and bytes

// View of the contents of an exact bytes object.
inline std::span<const std::uint8_t> bytes_view(PyObject* bytes) {
    return {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(bytes)),
            static_cast<std::size_t>(PyBytes_GET_SIZE(bytes))};
}
Ref bytes_from(std::span<const std::uint8_t> data);
Ref bytes_from(std::string_view text);

// For an exact int with 0 <= value < 2^256: stores it as 32 big-endian bytes
// and returns true. Returns false (no error set) for anything else.
bool int_to_be32(PyObject* value, std::uint8_t out[32]);
// int.from_bytes(data, "big") for unsigned big-endian data.
Ref int_from_be(std::span<const std::uint8_t> data);
Ref int_from_long(long value);

// 1 when `a` and `b` name the same file: the same object, the same path once
// resolved (os.path.realpath), or the same existing file (os.path.samefile,
// which also sees hard links); objects that are not paths only match
// themselves. 0 otherwise, -1 on error.
int same_file(PyObject* a, PyObject* b);

// Python rich comparison as a C truth value; -1 on error.
int compare(PyObject* a, PyObject* b, int op);

// ---------------------------------------------------------------------------
// Python arithmetic on objects, as the operators do. A null operand (an error
// already raised) gives null without calling anything, so a sequence of
// steps can check once at the end of a line; each line still runs in order.

inline PyObject* ptr(PyObject* obj) noexcept { return obj; }
inline PyObject* ptr(const Ref& obj) noexcept { return obj.get(); }

template <typename A, typename B>
Ref binary(binaryfunc fn, const A& a, const B& b) {
    PyObject* x = ptr(a);
    PyObject* y = ptr(b);
    return (x && y) ? steal(fn(x, y)) : Ref();
}
template <typename A, typename B> Ref add(const A& a, const B& b) { return binary(PyNumber_Add, a, b); }
template <typename A, typename B> Ref sub(const A& a, const B& b) { return binary(PyNumber_Subtract, a, b); }
template <typename A, typename B> Ref mul(const A& a, const B& b) { return binary(PyNumber_Multiply, a, b); }
template <typename A, typename B> Ref mod(const A& a, const B& b) { return binary(PyNumber_Remainder, a, b); }
template <typename A, typename B> Ref floordiv(const A& a, const B& b) { return binary(PyNumber_FloorDivide, a, b); }
template <typename A, typename B> Ref bitand_(const A& a, const B& b) { return binary(PyNumber_And, a, b); }
template <typename A, typename B> Ref rshift(const A& a, const B& b) { return binary(PyNumber_Rshift, a, b); }

// Rich comparison as a C truth value (1, 0, or -1 on error); null operands give -1.
template <typename A, typename B>
int cmp(const A& a, const B& b, int op) {
    PyObject* x = ptr(a);
    PyObject* y = ptr(b);
    return (x && y) ? compare(x, y, op) : -1;
}

// Small int constants (new references).
Ref small_int(long value);

// int.from_bytes(data, "big"): native for exact bytes, else through int.
Ref int_from_bytes_big(PyObject* data);
// value.to_bytes(length, "big") through the int method (its errors as is).
Ref int_to_bytes_big(PyObject* value, Py_ssize_t length);

// ---------------------------------------------------------------------------
// Releasing the GIL around native work.
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
