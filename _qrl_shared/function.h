// Module functions: a declarative description of each function (its
// parameters, their argument kinds, defaults and annotations, and the C++
// body), from which the library's function type binds and checks the
// arguments of every call before the body runs.
//
// A body receives the checked arguments as named parameters, in declaration
// order, after the call context:
//
//     PyObject* verify_jwt(qrl::Call& call, PyObject* token, PyObject* public_key_xy, ...);
//     const qrl::FunctionSpec kVerifyJwt{..., .params = {{.name = "token", ...}, ...},
//                                        .impl = qrl::impl<verify_jwt>};
//
// The number of C++ parameters must equal the number of declared ones; a
// module whose table disagrees fails to import.
#pragma once

#include "ref.h"

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

namespace qrl {

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

// The context of one call: the function being called, its module's globals
// and state, and the checked arguments (converted values such as ints are
// owned here; the others are borrowed from the caller for the call).
class Call {
public:
    // The module's global namespace (its __dict__).
    PyObject* globals() const noexcept;
    // The function object being called.
    PyObject* function() const noexcept { return function_; }
    // The state of the function's module (see ModuleDefinition).
    template <typename State>
    const State& state() const noexcept {
        return *static_cast<const State*>(module_state());
    }

private:
    template <auto Fn, std::size_t... I>
    friend PyObject* invoke_with_arguments(Call& call, std::index_sequence<I...>);
    friend struct FunctionAccess;

    const void* module_state() const noexcept;

    PyObject* function_ = nullptr;
    PyObject* args_[kMaxParams] = {};
    Ref owned_[kMaxParams];
};

template <typename... Params>
constexpr int parameter_count(PyObject* (*)(Call&, Params...)) {
    static_assert((std::is_same_v<Params, PyObject*> && ...), "a body takes its arguments as PyObject*");
    return static_cast<int>(sizeof...(Params));
}

template <auto Fn, std::size_t... I>
PyObject* invoke_with_arguments(Call& call, std::index_sequence<I...>) {
    return Fn(call, call.args_[I]...);
}

template <auto Fn>
PyObject* run_body(Call& call) {
    return invoke_with_arguments<Fn>(call, std::make_index_sequence<parameter_count(Fn)>());
}

// A function body and the number of arguments it takes.
struct Implementation {
    PyObject* (*run)(Call& call) = nullptr;
    int arity = -1;
};

template <auto Fn>
inline constexpr Implementation impl{&run_body<Fn>, parameter_count(Fn)};

// Declared as a static aggregate with designated initialisers; unused
// parameter slots keep a null name.
struct FunctionSpec {
    const char* name;
    const char* qualname = nullptr;  // nullptr: same as name
    const char* doc = nullptr;
    Param params[kMaxParams] = {};
    const char* return_annotation = nullptr;  // nullptr: not annotated
    Implementation impl = {};
};

// Creates a function object for `spec` whose globals are the dict of `module`,
// whose __module__ is the module's __name__, and whose calls see `state` as
// the module state. `spec` and `state` must outlive the process.
Ref make_function(const FunctionSpec& spec, PyObject* module, const void* state);
// Creates it and binds it as a module attribute (by its name).
bool add_function(PyObject* module, const FunctionSpec& spec, const void* state);

// Set-up of the function type, once per process (by the runtime module).
PyTypeObject* create_function_type(PyObject* runtime_module);

}  // namespace qrl
