// "Is this still the object bound at import?" — the question behind every
// shortcut of the library.
//
// A module computes some results natively, or calls the standard library's C
// code directly, only while the Python objects the plain route would use are
// the ones it found at import: its own globals (constants, sibling helpers)
// and what the standard library's functions rely on. Such a set is a Route,
// declared as data beside the code that relies on it, as paths from the
// module's globals:
//
//     constexpr qrl::Route kCanonicalJson{"json.dumps", "json.JSONEncoder.__init__"};
//
// Every prefix of a path belongs to the route as well ("json", then
// "json.JSONEncoder"). The module records all its routes at import; a call
// then asks `originals.unchanged(globals, kCanonicalJson)`.
//
// What counts as changed: a module global or module attribute rebound; a
// class attribute that now resolves to another object; a Python function
// changed in place (its __code__, __defaults__ or __kwdefaults__ replaced, a
// keyword default rebound, or a closure cell rebound). A path that did not
// resolve at import counts as changed for good, so its shortcut is never
// taken. The recorded objects are kept for the life of the process, so that
// a replaced object can never be freed and its address reused by a
// replacement that would pass the identity check.
#pragma once

#include "ref.h"

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace qrl {

class Route {
public:
    static constexpr int kMaxPaths = 12;

    constexpr Route(std::initializer_list<const char*> paths) {
        for (const char* path : paths) paths_[count_++] = path;
    }
    constexpr std::span<const char* const> paths() const { return {paths_, static_cast<std::size_t>(count_)}; }

private:
    const char* paths_[kMaxPaths] = {};
    int count_ = 0;
};

class Originals {
public:
    // Records, in the module as it stands, every object the routes lead to.
    // False only when the interpreter fails (an exception is set); paths that
    // lead nowhere are recorded as absent.
    bool record(PyObject* module, std::initializer_list<const Route*> routes);
    // Called once the module is complete, at the end of its initialisation:
    // notes the change counters CPython keeps for what the routes are looked
    // up in (see Sealed below).
    void seal(PyObject* module);

    // True while everything on `route` is as recorded. Asking about a route
    // that was not recorded is a programming error: the process stops.
    bool unchanged(PyObject* globals, const Route& route) const;
    // The same for several routes, all of which must be unchanged; what
    // routes share is checked once.
    bool unchanged(PyObject* globals, std::span<const Route* const> routes) const;
    bool unchanged(PyObject* globals, std::initializer_list<const Route*> routes) const {
        return unchanged(globals, std::span<const Route* const>(routes.begin(), routes.size()));
    }

    // The object that path `index` of `route` led to at import, or null.
    PyObject* object(const Route& route, int index) const;

private:
    // Nodes one module may record (each path component is one node).
    static constexpr std::size_t kMaxNodes = 256;

    enum class Step { Global, ModuleAttribute, ClassAttribute };

    // What a Python function's behaviour hangs on besides its identity.
    struct FunctionParts {
        Ref code, defaults, kwdefaults;
        std::vector<std::pair<Ref, Ref>> kwdefault_items;
        std::vector<Ref> cell_contents;
        std::uint64_t sealed_kwdefaults_version = 0;
        bool same_as_now(PyObject* function) const;
        // The parts held by the function itself (not the keyword defaults'
        // items) are the recorded objects.
        bool same_objects(PyObject* function) const;
    };

    // CPython gives a dict a new version on every change to it, and a class
    // a new version tag whenever it or a class it inherits from changes.
    // While the dict or class a node is looked up in (and a function's
    // keyword defaults) has the version noted by seal(), the lookup gives
    // what it gave then: the node is unchanged without looking it up. Any
    // other version only means the node is looked up. Read where a held GIL
    // makes reading them safe, and where CPython still has dict versions.
    struct Sealed {
        bool valid = false;
        std::uint64_t version = 0;
    };

    struct Node {
        std::string path;
        int parent = -1;
        Step step = Step::Global;
        Ref name;    // the last component, interned
        Ref object;  // null when the path led nowhere at import
        PyObject* module_dict = nullptr;  // for a module attribute: the parent's dict (the parent is held)
        std::optional<FunctionParts> function;  // for a Python function
        Sealed sealed;
    };

    struct RecordedRoute {
        const Route* route;
        std::vector<int> nodes;  // every node of every path, parents first
        std::vector<int> ends;   // the node each path ends at
    };

    static FunctionParts parts_of(PyObject* function);
    int node_for(PyObject* module, const std::string& path);
    bool node_unchanged(PyObject* globals, const Node& node) const;
    // The version of the dict or class the node is looked up in (0: none).
    std::uint64_t version_looked_up_in(PyObject* globals, const Node& node) const;
    bool node_as_sealed(PyObject* globals, const Node& node) const;
    const RecordedRoute* find(const Route& route) const;

    std::vector<Node> nodes_;
    std::vector<RecordedRoute> routes_;
    PyObject* sealed_globals_ = nullptr;  // the module's dict (the module lives as long as the process)
};

}  // namespace qrl
