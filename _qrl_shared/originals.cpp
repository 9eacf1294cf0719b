// Recording the import-time objects of a module's routes, and checking them.
//
// A check runs no Python code: module globals and module attributes are
// dict lookups, class attributes are found in the class's method resolution
// order without calling descriptors, and a lookup result is only compared by
// address with an object held here (so a borrowed result is never used).
#include "originals.h"

#include <algorithm>
#include <bitset>

namespace qrl {

namespace {

// The object `name` is bound to in a dict, borrowed and only for comparing;
// null when missing.
PyObject* bound_in(PyObject* dict, PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(dict, name);
    if (!value && PyErr_Occurred()) PyErr_Clear();
    return value;
}

// The class attribute as instances and the class see it, descriptors not
// called; borrowed, only for comparing.
PyObject* class_attribute(PyObject* cls, PyObject* name) {
    return _PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls), name);
}

// Dict versions and class version tags (see Originals::Sealed) are read only
// on builds with a GIL, which the caller holds; CPython 3.14 keeps no dict
// versions any more. Elsewhere nothing is sealed and every node is looked up.
#if !defined(Py_GIL_DISABLED) && PY_VERSION_HEX < 0x030E0000
constexpr bool kSealedVersions = true;

std::uint64_t dict_version(PyObject* dict) {
    // Deprecated for extensions since 3.12, still kept up to date through 3.13.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#pragma GCC diagnostic pop
}

// 0 while the class has no valid tag (CPython assigns one on lookup).
std::uint64_t class_version(PyObject* cls) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
}
#else
constexpr bool kSealedVersions = false;
std::uint64_t dict_version(PyObject*) { return 0; }
std::uint64_t class_version(PyObject*) { return 0; }
#endif

std::string parent_path(const std::string& path) {
    const auto dot = path.rfind('.');
    return dot == std::string::npos ? std::string() : path.substr(0, dot);
}

}  // namespace

bool Originals::FunctionParts::same_objects(PyObject* function) const {
    if (PyFunction_GET_CODE(function) != code.get() || PyFunction_GET_DEFAULTS(function) != defaults.get() ||
        PyFunction_GET_KW_DEFAULTS(function) != kwdefaults.get())
        return false;
    PyObject* closure = PyFunction_GET_CLOSURE(function);
    for (std::size_t i = 0; i < cell_contents.size(); ++i) {
        if (PyCell_GET(PyTuple_GET_ITEM(closure, static_cast<Py_ssize_t>(i))) != cell_contents[i].get()) return false;
    }
    return true;
}

bool Originals::FunctionParts::same_as_now(PyObject* function) const {
    if (!same_objects(function)) return false;
    if (kwdefaults) {
        // Item by item in the dict's order: a default rebound, added or
        // removed (or the defaults merely reordered) counts as a change.
        CriticalSection section(kwdefaults.get());
        if (PyDict_GET_SIZE(kwdefaults.get()) != static_cast<Py_ssize_t>(kwdefault_items.size())) return false;
        Py_ssize_t position = 0;
        PyObject *key, *value;
        for (const auto& [recorded_key, recorded_value] : kwdefault_items) {
            if (!PyDict_Next(kwdefaults.get(), &position, &key, &value) || key != recorded_key.get() ||
                value != recorded_value.get())
                return false;
        }
    }
    return true;
}

int Originals::node_for(PyObject* module, const std::string& path) {
    for (std::size_t i = 0; i < nodes_.size(); ++i) {
        if (nodes_[i].path == path) return static_cast<int>(i);
    }
    Node node;
    node.path = path;
    const std::string parent = parent_path(path);
    if (!parent.empty()) {
        node.parent = node_for(module, parent);
        if (node.parent < 0) return -1;
    }
    node.name = intern(parent.empty() ? path.c_str() : path.c_str() + parent.size() + 1);
    if (!node.name) return -1;

    PyObject* found = nullptr;
    if (node.parent < 0) {
        found = bound_in(PyModule_GetDict(module), node.name.get());
    } else if (PyObject* container = nodes_[static_cast<std::size_t>(node.parent)].object.get()) {
        if (PyModule_Check(container)) {
            node.step = Step::ModuleAttribute;
            node.module_dict = PyModule_GetDict(container);  // a module keeps its dict for life
            found = bound_in(node.module_dict, node.name.get());
        } else if (PyType_Check(container)) {
            node.step = Step::ClassAttribute;
            found = class_attribute(container, node.name.get());
        }
        // Other containers are not followed: their attributes may be computed.
    }
    node.object = borrow(found);
    if (found && PyFunction_Check(found)) node.function = parts_of(found);
    if (nodes_.size() == kMaxNodes) Py_FatalError("quarlopro: a module records more paths than Originals holds");
    nodes_.push_back(std::move(node));
    return static_cast<int>(nodes_.size() - 1);
}

Originals::FunctionParts Originals::parts_of(PyObject* function) {
    FunctionParts parts;
    parts.code = borrow(PyFunction_GET_CODE(function));
    parts.defaults = borrow(PyFunction_GET_DEFAULTS(function));
    parts.kwdefaults = borrow(PyFunction_GET_KW_DEFAULTS(function));
    if (parts.kwdefaults) {
        CriticalSection section(parts.kwdefaults.get());
        Py_ssize_t position = 0;
        PyObject *key, *value;
        while (PyDict_Next(parts.kwdefaults.get(), &position, &key, &value))
            parts.kwdefault_items.emplace_back(borrow(key), borrow(value));
    }
    if (PyObject* closure = PyFunction_GET_CLOSURE(function)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(closure); ++i)
            parts.cell_contents.push_back(borrow(PyCell_GET(PyTuple_GET_ITEM(closure, i))));
    }
    return parts;
}

bool Originals::record(PyObject* module, std::initializer_list<const Route*> routes) {
    for (const Route* route : routes) {
        RecordedRoute recorded{route, {}, {}};
        for (const char* path : route->paths()) {
            const int leaf = node_for(module, path);
            if (leaf < 0) return false;
            // The chain from the module global down to the leaf, parents first.
            std::vector<int> chain;
            for (int at = leaf; at >= 0; at = nodes_[static_cast<std::size_t>(at)].parent) chain.push_back(at);
            for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
                if (std::find(recorded.nodes.begin(), recorded.nodes.end(), *it) == recorded.nodes.end())
                    recorded.nodes.push_back(*it);
            }
            recorded.ends.push_back(leaf);
        }
        routes_.push_back(std::move(recorded));
    }
    return true;
}

void Originals::seal(PyObject* module) {
    if (!kSealedVersions) return;
    sealed_globals_ = PyModule_GetDict(module);
    for (Node& node : nodes_) {
        if (!node.object) continue;
        if (node.step == Step::ClassAttribute)  // gives the class a version tag if it has none
            class_attribute(nodes_[static_cast<std::size_t>(node.parent)].object.get(), node.name.get());
        const std::uint64_t version = version_looked_up_in(sealed_globals_, node);
        if (node.function && node.function->kwdefaults)
            node.function->sealed_kwdefaults_version = dict_version(node.function->kwdefaults.get());
        // A node found since in another object than recorded is never sealed.
        node.sealed = {version != 0 && node_unchanged(sealed_globals_, node), version};
    }
}

std::uint64_t Originals::version_looked_up_in(PyObject* globals, const Node& node) const {
    switch (node.step) {
    case Step::Global:
        return globals == sealed_globals_ ? dict_version(globals) : 0;
    case Step::ModuleAttribute:
        return dict_version(node.module_dict);
    case Step::ClassAttribute:
        return class_version(nodes_[static_cast<std::size_t>(node.parent)].object.get());
    }
    return 0;
}

bool Originals::node_as_sealed(PyObject* globals, const Node& node) const {
    if (!node.sealed.valid || version_looked_up_in(globals, node) != node.sealed.version) return false;
    if (!node.function) return true;
    const FunctionParts& parts = *node.function;
    return parts.same_objects(node.object.get()) &&
           (!parts.kwdefaults || dict_version(parts.kwdefaults.get()) == parts.sealed_kwdefaults_version);
}

const Originals::RecordedRoute* Originals::find(const Route& route) const {
    for (const RecordedRoute& recorded : routes_) {
        if (recorded.route == &route) return &recorded;
    }
    // A programming error that every test of the shortcut finds: the module
    // lists the route among those it records at import.
    Py_FatalError("quarlopro: a route was used that its module did not record at import");
}

bool Originals::node_unchanged(PyObject* globals, const Node& node) const {
    PyObject* original = node.object.get();
    if (!original) return false;
    if (node_as_sealed(globals, node)) return true;
    PyObject* current = nullptr;
    switch (node.step) {
    case Step::Global:
        current = bound_in(globals, node.name.get());
        break;
    case Step::ModuleAttribute:
        current = bound_in(node.module_dict, node.name.get());
        break;
    case Step::ClassAttribute:
        current = class_attribute(nodes_[static_cast<std::size_t>(node.parent)].object.get(), node.name.get());
        break;
    }
    return current == original && (!node.function || node.function->same_as_now(original));
}

bool Originals::unchanged(PyObject* globals, const Route& route) const {
    const RecordedRoute* recorded = find(route);
    if (!recorded) return false;
    // Parents come first, so a node's container is known to be the original.
    return std::all_of(recorded->nodes.begin(), recorded->nodes.end(),
                       [&](int index) { return node_unchanged(globals, nodes_[static_cast<std::size_t>(index)]); });
}

bool Originals::unchanged(PyObject* globals, std::span<const Route* const> routes) const {
    // Routes share module globals and modules (hashlib, _P256_N, ...): each
    // node is checked once. A module records a few dozen nodes at most.
    std::bitset<kMaxNodes> checked;
    for (const Route* route : routes) {
        const RecordedRoute* recorded = find(*route);
        for (const int index : recorded->nodes) {
            if (checked.test(static_cast<std::size_t>(index))) continue;
            if (!node_unchanged(globals, nodes_[static_cast<std::size_t>(index)])) return false;
            checked.set(static_cast<std::size_t>(index));
        }
    }
    return true;
}

PyObject* Originals::object(const Route& route, int index) const {
    const RecordedRoute* recorded = find(route);
    if (!recorded || index < 0 || static_cast<std::size_t>(index) >= recorded->ends.size()) return nullptr;
    return nodes_[static_cast<std::size_t>(recorded->ends[static_cast<std::size_t>(index)])].object.get();
}

}  // namespace qrl
