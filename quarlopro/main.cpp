// quarlopro.main: the plug-in entry of quarlo.
//
// The module holds `logger` and the class `Plugin`, whose methods are the
// host's hooks: the build option "--public", the subcommands keygen, sign and
// show, and the three build hooks that prepare the runtime key, define the
// string compression macro and render the runtime verification module.
//
// `Plugin` is a plain Python class made once at import with type(); its
// methods are functions of the shared runtime and bind to instances like
// Python functions. Sibling modules and Cython are imported inside the hooks
// when they run, so importing this module alone needs none of them.
#include "qrl.h"

#include <span>

namespace {

using qrl::Ref;

// ---------------------------------------------------------------------------
// Names, interned once at import

#define MAIN_NAMES(X)                                                                                                \
    X(logging, "logging") X(pathlib, "pathlib") X(getLogger, "getLogger") X(file, "__file__") X(Path, "Path")       \
    X(int_, "int") X(str_, "str") X(add_argument, "add_argument") X(add_parser, "add_parser")                      \
    X(set_defaults, "set_defaults") X(pluginManager, "pluginManager") X(withRuntimeJwt, "withRuntimeJwt")          \
    X(withStringCompression, "withStringCompression") X(runtimeJwtPublic, "runtimeJwtPublic") X(public_, "public") \
    X(read_text, "read_text") X(to_bytes, "to_bytes") X(big, "big") X(define_macro, "define_macro")                \
    X(compress_macro, "CYTHON_COMPRESS_STRINGS") X(substitute, "substitute") X(Template, "Template")               \
    X(pem_public_key_to_der, "pem_public_key_to_der") X(der_spki_ec_to_jwk, "der_spki_ec_to_jwk")                  \
    X(public_key_xy_from_jwk, "public_key_xy_from_jwk") X(proBootstrapPxdTemplate, "proBootstrapPxdTemplate")      \
    X(proBootstrapTemplate, "proBootstrapTemplate") X(pxd, "pxd") X(code, "code") X(exports, "exports")            \
    X(features, "features") X(pro, "pro") X(jwt_verify, "jwt_verify")

struct Names {
#define DECLARE(id, text) PyObject* id;
    MAIN_NAMES(DECLARE)
#undef DECLARE
};
Names names;

// Keyword-name tuples of the calls made with keywords.
struct Keywords {
    PyObject* type_help;           // ("type", "help")
    PyObject* type_required_help;  // ("type", "required", "help")
    PyObject* help;                // ("help",)
    PyObject* func;                // ("func",)
    PyObject* byteorder;           // ("byteorder",)
    PyObject* runtimeJwtPublic;    // ("runtimeJwtPublic",)
};
Keywords keywords;

bool init_names() {
#define INTERN(id, text) names.id = qrl::intern(text).release();
    MAIN_NAMES(INTERN)
#undef INTERN
    if (PyErr_Occurred()) return false;
    keywords.type_help = Py_BuildValue("(ss)", "type", "help");
    keywords.type_required_help = Py_BuildValue("(sss)", "type", "required", "help");
    keywords.help = Py_BuildValue("(s)", "help");
    keywords.func = Py_BuildValue("(s)", "func");
    keywords.byteorder = Py_BuildValue("(s)", "byteorder");
    keywords.runtimeJwtPublic = Py_BuildValue("(s)", "runtimeJwtPublic");
    return !PyErr_Occurred();
}

// ---------------------------------------------------------------------------
// Small helpers

// obj.name(*args, **kw), with the keyword names last in `args` as in call_kw.
Ref call_method_kw(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args, PyObject* kwnames) {
    Ref method = qrl::getattr(obj, name);
    if (!method) return {};
    return qrl::call_kw(method.get(), args, kwnames);
}

// pathlib.Path, looked up through the module's globals.
Ref path_class(qrl::Call& call) {
    Ref pathlib = qrl::global(call.globals(), names.pathlib);
    if (!pathlib) return {};
    return qrl::getattr(pathlib.get(), names.Path);
}

bool set_attr(PyObject* obj, PyObject* name, PyObject* value) { return PyObject_SetAttr(obj, name, value) == 0; }

// ---------------------------------------------------------------------------
// Plugin(pluginManager) and the argument hooks

PyObject* plugin_init(qrl::Call& call) {
    if (!set_attr(call[0], names.pluginManager, call[1])) return nullptr;
    Py_RETURN_NONE;
}

// buildParser.add_argument("--public", type=pathlib.Path, help=...)
PyObject* extend_build_parser(qrl::Call& call) {
    Ref path = path_class(call);
    if (!path) return nullptr;
    Ref option = qrl::steal(PyUnicode_FromString("--public"));
    Ref help = qrl::steal(PyUnicode_FromString("PEM public key for runtime JWT verification API (Pro)"));
    if (!option || !help) return nullptr;
    Ref ignored = call_method_kw(call[1], names.add_argument, {option.get(), path.get(), help.get()},
                                 keywords.type_help);
    if (!ignored) return nullptr;
    Py_RETURN_NONE;
}

PyObject* get_compile_args(qrl::Call&) { return PyList_New(0); }

PyObject* get_linker_args(qrl::Call&) { return PyDict_New(); }

// ---------------------------------------------------------------------------
// Command registration

// The converter of an argument, found by name at call time as Python code
// would find it: pathlib.Path through the module's `pathlib`, int and str
// through the builtins.
enum class Converter { Path, Int, Str };

struct ArgumentSpec {
    const char* name;  // a flag ("--private") or a positional name
    Converter type;
    const char* help;
    bool required = false;
};

struct SubcommandSpec {
    const char* name;
    const char* help;
    ArgumentSpec arguments[4];
    const char* handler_module;  // sibling module holding the handler
    const char* handler;
};

const SubcommandSpec kSubcommands[] = {
    {
        .name = "keygen",
        .help = "Generate a new keypair (Pro)",
        .arguments = {{"--private", Converter::Path, "Private key file"},
                      {"--public", Converter::Path, "Public key file"}},
        .handler_module = "keygen",
        .handler = "keygen",
    },
    {
        .name = "sign",
        .help = "Sign a JWT (Pro)",
        .arguments = {{"--expires", Converter::Int, "Token expiration time in seconds"},
                      {"--private", Converter::Path, "Private key file", true},
                      {"payload", Converter::Str, "JWT payload"},
                      {"jwt", Converter::Path, "JWT file"}},
        .handler_module = "sign",
        .handler = "signJwt",
    },
    {
        .name = "show",
        .help = "Show information about a JWT (Pro)",
        .arguments = {{"--public", Converter::Path, "Public Key file"}, {"jwt", Converter::Path, "JWT token"}},
        .handler_module = "license",
        .handler = "showJwt",
    },
};

Ref converter(qrl::Call& call, Converter type) {
    switch (type) {
    case Converter::Path:
        return path_class(call);
    case Converter::Int:
        return qrl::global(call.globals(), names.int_);
    case Converter::Str:
        return qrl::global(call.globals(), names.str_);
    }
    return {};
}

bool add_argument(qrl::Call& call, PyObject* parser, const ArgumentSpec& argument) {
    Ref name = qrl::steal(PyUnicode_FromString(argument.name));
    Ref help = qrl::steal(PyUnicode_FromString(argument.help));
    Ref type = converter(call, argument.type);
    if (!name || !help || !type) return false;
    Ref ignored = argument.required
                      ? call_method_kw(parser, names.add_argument, {name.get(), type.get(), Py_True, help.get()},
                                       keywords.type_required_help)
                      : call_method_kw(parser, names.add_argument, {name.get(), type.get(), help.get()},
                                       keywords.type_help);
    return static_cast<bool>(ignored);
}

// For each subcommand in order: add_parser, its arguments in order, then the
// handler imported from its sibling module and bound with set_defaults(func=).
PyObject* extend_sub_parsers(qrl::Call& call) {
    PyObject* subParsers = call[1];
    for (const SubcommandSpec& command : kSubcommands) {
        Ref name = qrl::steal(PyUnicode_FromString(command.name));
        Ref help = qrl::steal(PyUnicode_FromString(command.help));
        if (!name || !help) return nullptr;
        Ref parser = call_method_kw(subParsers, names.add_parser, {name.get(), help.get()}, keywords.help);
        if (!parser) return nullptr;
        for (const ArgumentSpec& argument : command.arguments) {
            if (!argument.name) break;
            if (!add_argument(call, parser.get(), argument)) return nullptr;
        }
        Ref handler_name = qrl::intern(command.handler);
        if (!handler_name) return nullptr;
        Ref handler[1];
        if (!qrl::import_names(call.globals(), command.handler_module, {handler_name.get()}, handler)) return nullptr;
        Ref ignored = call_method_kw(parser.get(), names.set_defaults, {handler[0].get()}, keywords.func);
        if (!ignored) return nullptr;
    }
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Build hooks

// Turns the PEM public key at args.public into x || y, 32 big-endian bytes
// each; the attributes are reset first so that a failure leaves no key.
PyObject* extend_build(qrl::Call& call) {
    PyObject* self = call[0];
    PyObject* args = call[1];
    if (!set_attr(self, names.withRuntimeJwt, Py_True) || !set_attr(self, names.withStringCompression, Py_True) ||
        !set_attr(self, names.runtimeJwtPublic, Py_None))
        return nullptr;

    const int with_runtime_jwt = qrl::truth(qrl::getattr(self, names.withRuntimeJwt));
    if (with_runtime_jwt < 0) return nullptr;
    if (!with_runtime_jwt) Py_RETURN_NONE;
    Ref public_path = qrl::getattr(args, names.public_);
    const int given = qrl::truth(public_path);
    if (given < 0) return nullptr;
    if (!given) Py_RETURN_NONE;

    Ref decodekey[2];  // pem_public_key_to_der, der_spki_ec_to_jwk
    Ref jwt_es256[1];  // public_key_xy_from_jwk
    if (!qrl::import_names(call.globals(), "decodekey", {names.pem_public_key_to_der, names.der_spki_ec_to_jwk}, decodekey) ||
        !qrl::import_names(call.globals(), "jwt_es256", {names.public_key_xy_from_jwk}, jwt_es256))
        return nullptr;

    Ref pem = qrl::call_method(public_path.get(), names.read_text);
    Ref der = pem ? qrl::call(decodekey[0].get(), pem.get()) : Ref();
    Ref jwk = der ? qrl::call(decodekey[1].get(), der.get()) : Ref();
    Ref xy = jwk ? qrl::call(jwt_es256[0].get(), jwk.get()) : Ref();
    if (!xy) return nullptr;
    Ref coordinates[2];
    if (!qrl::unpack(xy.get(), coordinates)) return nullptr;

    Ref length = qrl::small_int(32);
    if (!length) return nullptr;
    Ref x_bytes = call_method_kw(coordinates[0].get(), names.to_bytes, {length.get(), names.big}, keywords.byteorder);
    Ref y_bytes = x_bytes ? call_method_kw(coordinates[1].get(), names.to_bytes, {length.get(), names.big},
                                           keywords.byteorder)
                          : Ref();
    Ref block = qrl::add(x_bytes, y_bytes);
    if (!block || !set_attr(self, names.runtimeJwtPublic, block.get())) return nullptr;
    Py_RETURN_NONE;
}

// compiler.define_macro("CYTHON_COMPRESS_STRINGS", 90) when compression is on.
PyObject* extend_compiler(qrl::Call& call) {
    const int compress = qrl::truth(qrl::getattr(call[0], names.withStringCompression));
    if (compress < 0) return nullptr;
    if (compress) {
        Ref level = qrl::small_int(90);
        if (!level) return nullptr;
        Ref ignored = qrl::call_method(call[1], names.define_macro, names.compress_macro, level.get());
        if (!ignored) return nullptr;
    }
    Py_RETURN_NONE;
}

// A dict of one item (new reference), or null.
Ref single_item_dict(PyObject* key, PyObject* value) {
    if (!value) return {};
    Ref dict = qrl::steal(PyDict_New());
    if (!dict || PyDict_SetItem(dict.get(), key, value) < 0) return {};
    return dict;
}

// Renders the code template with the build's key block (or None) and returns
// {"pxd": {"pro": ...}, "code": {"pro": ...}, "exports": {}, "features": {"jwt_verify": True}}.
PyObject* extend_template(qrl::Call& call) {
    Ref tempita[1];  // Template
    Ref texts[2];    // proBootstrapPxdTemplate, proBootstrapTemplate
    if (!qrl::import_names(call.globals(), "Cython.Tempita", {names.Template}, tempita, 0) ||
        !qrl::import_names(call.globals(), "protemplate", {names.proBootstrapPxdTemplate, names.proBootstrapTemplate}, texts))
        return nullptr;
    PyObject* pxd_text = texts[0].get();

    Ref template_obj = qrl::call(tempita[0].get(), texts[1].get());
    Ref substitute = template_obj ? qrl::getattr(template_obj.get(), names.substitute) : Ref();
    Ref key_block = substitute ? qrl::getattr(call[0], names.runtimeJwtPublic) : Ref();
    Ref content = key_block ? qrl::call_kw(substitute.get(), {key_block.get()}, keywords.runtimeJwtPublic) : Ref();
    if (!content) return nullptr;

    Ref pxd = single_item_dict(names.pro, pxd_text);
    Ref code = single_item_dict(names.pro, content.get());
    Ref exports = qrl::steal(PyDict_New());
    Ref features = single_item_dict(names.jwt_verify, Py_True);
    Ref result = qrl::steal(PyDict_New());
    if (!pxd || !code || !exports || !features || !result) return nullptr;
    if (PyDict_SetItem(result.get(), names.pxd, pxd.get()) < 0 ||
        PyDict_SetItem(result.get(), names.code, code.get()) < 0 ||
        PyDict_SetItem(result.get(), names.exports, exports.get()) < 0 ||
        PyDict_SetItem(result.get(), names.features, features.get()) < 0)
        return nullptr;
    return result.release();
}

// ---------------------------------------------------------------------------
// The class and the module

using qrl::Default;

const qrl::FunctionSpec kInit{
    .name = "__init__",
    .qualname = "Plugin.__init__",
    .doc = "Keep the host's plug-in manager as self.pluginManager.",
    .params = {{.name = "self"}, {.name = "pluginManager"}},
    .impl = plugin_init,
};
const qrl::FunctionSpec kExtendSubParsers{
    .name = "extendSubParsers",
    .qualname = "Plugin.extendSubParsers",
    .doc = "Register the keygen, sign and show subcommands with their handlers.",
    .params = {{.name = "self"}, {.name = "subParsers"}},
    .impl = extend_sub_parsers,
};
const qrl::FunctionSpec kExtendBuildParser{
    .name = "extendBuildParser",
    .qualname = "Plugin.extendBuildParser",
    .doc = "Add the build option --public (PEM public key for runtime token verification).",
    .params = {{.name = "self"}, {.name = "buildParser"}},
    .impl = extend_build_parser,
};
const qrl::FunctionSpec kExtendBuild{
    .name = "extendBuild",
    .qualname = "Plugin.extendBuild",
    .doc = "Switch the build features on and turn args.public into the 64-byte runtime key block.",
    .params = {{.name = "self"}, {.name = "args"}},
    .impl = extend_build,
};
const qrl::FunctionSpec kExtendCompiler{
    .name = "extendCompiler",
    .qualname = "Plugin.extendCompiler",
    .doc = "Define the string compression macro on the host's compiler.",
    .params = {{.name = "self"}, {.name = "compiler"}},
    .impl = extend_compiler,
};
const qrl::FunctionSpec kExtendTemplate{
    .name = "extendTemplate",
    .qualname = "Plugin.extendTemplate",
    .doc = "Render the runtime verification module and return it with its declaration text.",
    .params = {{.name = "self"}},
    .impl = extend_template,
};
const qrl::FunctionSpec kGetCompileArgs{
    .name = "getCompileArgs",
    .qualname = "Plugin.getCompileArgs",
    .doc = "Extra compiler arguments: none.",
    .params = {{.name = "self"}},
    .impl = get_compile_args,
};
const qrl::FunctionSpec kGetLinkerArgs{
    .name = "getLinkerArgs",
    .qualname = "Plugin.getLinkerArgs",
    .doc = "Extra linker arguments: none.",
    .params = {{.name = "self"}, {.name = "exeName"}, {.name = "libraryPath"}},
    .impl = get_linker_args,
};

// In definition order.
const qrl::FunctionSpec* const kMethods[] = {
    &kInit,           &kExtendSubParsers, &kExtendBuildParser, &kExtendBuild,
    &kExtendCompiler, &kExtendTemplate,   &kGetCompileArgs,    &kGetLinkerArgs,
};

// type("Plugin", (object,), namespace): a plain class holding the methods,
// with __module__ and __doc__ as a class statement would give it.
Ref make_plugin_class(PyObject* module) {
    Ref ns = qrl::steal(PyDict_New());
    Ref module_name = qrl::steal(PyModule_GetNameObject(module));
    Ref doc = qrl::steal(PyUnicode_FromString("The quarlopro plug-in: hooks that quarlo calls while it builds its "
                                              "command line and its programs."));
    if (!ns || !module_name || !doc || PyDict_SetItemString(ns.get(), "__module__", module_name.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__doc__", doc.get()) < 0)
        return {};
    for (const qrl::FunctionSpec* spec : kMethods) {
        Ref method = qrl::make_function(*spec, module);
        if (!method || PyDict_SetItemString(ns.get(), spec->name, method.get()) < 0) return {};
    }
    Ref name = qrl::steal(PyUnicode_FromString("Plugin"));
    Ref bases = qrl::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    if (!name || !bases) return {};
    return qrl::call(reinterpret_cast<PyObject*>(&PyType_Type), name.get(), bases.get(), ns.get());
}

int exec_main(PyObject* module) {
    if (!qrl::require_runtime() || !init_names()) return -1;
    if (!qrl::import_into(module, "logging") || !qrl::import_into(module, "pathlib")) return -1;
    PyObject* globals = PyModule_GetDict(module);
    Ref file = qrl::global(globals, names.file);
    Ref logger = file ? qrl::call_global_attr(globals, names.logging, names.getLogger, file.get()) : Ref();
    if (!qrl::bind(module, "logger", logger)) return -1;
    return qrl::bind(module, "Plugin", make_plugin_class(module)) ? 0 : -1;
}

qrl::ModuleDefinition definition("quarlopro.main", "main", "The quarlopro plug-in of quarlo: the Plugin class.",
                                 exec_main);

}  // namespace

PyMODINIT_FUNC PyInit_main(void) { return qrl::module_init<definition>(); }
