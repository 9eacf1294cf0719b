// Modules of the library: multi-phase initialisation (PEP 489) with the guard
// that makes each a once-per-process module in one interpreter, the module's
// state, and the imports a module makes at load and at call time.
//
// Each module declares its state as one named type, built by the module's
// body at import and read-only afterwards; its functions reach it with
// `call.state<Type>()`. A module is a static `qrl::Module<State>` entered
// with `qrl::module_init<definition>()`.
#pragma once

#include "errors.h"
#include "function.h"
#include "ref.h"

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>

namespace qrl {

class ModuleDefinition {
public:
    ModuleDefinition(const char* qualified_name, const char* short_name, const char* doc);
    ModuleDefinition(const ModuleDefinition&) = delete;
    ModuleDefinition& operator=(const ModuleDefinition&) = delete;

    // The PyInit_* result, with the create and exec slots of this definition.
    PyObject* init(PyObject* (*create_slot)(PyObject*, PyModuleDef*), int (*exec_slot)(PyObject*));
    // The one module object of the process, in the one interpreter that loads it.
    PyObject* create(PyObject* spec);
    // Runs the body once, on the first module object only.
    int exec(PyObject* module);

protected:
    virtual ~ModuleDefinition() = default;
    // Builds the module's state and fills the module; false with an exception set.
    virtual bool run(PyObject* module) = 0;

private:
    PyModuleDef def_;
    PyModuleDef_Slot slots_[4];
    const char* short_name_;
    // The module object whose body runs or has run; the module object handed
    // out again once that body has succeeded; the interpreter that loaded it.
    std::atomic<PyObject*> claimed_{nullptr};
    std::atomic<PyObject*> module_{nullptr};
    std::atomic<std::int64_t> interpreter_{-1};
};

template <typename State>
class Module final : public ModuleDefinition {
public:
    using Body = bool (*)(PyObject* module, State& state);
    Module(const char* qualified_name, const char* short_name, const char* doc, Body body)
        : ModuleDefinition(qualified_name, short_name, doc), body_(body) {}

    // The state made by the module's body; valid once the module is imported.
    const State& state() const noexcept { return *state_; }

private:
    bool run(PyObject* module) override {
        auto state = std::make_unique<State>();
        if (!body_(module, *state)) return false;
        state_ = state.release();  // read by the module's functions for the life of the process
        return true;
    }

    Body body_;
    State* state_ = nullptr;
};

// Module state without members, for modules whose functions need none.
struct NoState {};

template <auto& Definition>
PyObject* module_create(PyObject* spec, PyModuleDef*) {
    return without_cxx_exceptions([&] { return Definition.create(spec); }, static_cast<PyObject*>(nullptr));
}

template <auto& Definition>
int module_exec(PyObject* module) {
    return without_cxx_exceptions([&] { return Definition.exec(module); }, -1);
}

template <auto& Definition>
PyObject* module_init() {
    return Definition.init(&module_create<Definition>, &module_exec<Definition>);
}

// Makes sure the shared runtime (_qrl_shared) is initialised.
bool require_runtime();

// Imports `name` and binds it in `module` under that name (as `import x`
// does). Returns the module.
Ref import_into(PyObject* module, const char* name);
// Binds a new reference under `name` in the module; false on error.
bool bind(PyObject* module, const char* name, Ref value);
// Adds the functions of `specs` to the module, their calls seeing `state`.
bool add_functions(PyObject* module, std::span<const FunctionSpec* const> specs, const void* state);
bool add_functions(PyObject* module, std::initializer_list<const FunctionSpec*> specs, const void* state);
// `logger = logging.getLogger(__file__)`, with `logging` one of the module's
// globals: a logger named after the module's file.
bool bind_file_logger(PyObject* module);

// `from .<module> import <from...>` (level 1; 0 for an absolute import) at
// call time, relative to the package of the module whose globals are given;
// fills `out` in the order of `from`.
bool import_names(PyObject* globals, const char* module, std::initializer_list<PyObject*> from, std::span<Ref> out,
                  int level = 1);

}  // namespace qrl
