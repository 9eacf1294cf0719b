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
#include "common/public_key.h"
#include "qrl.h"

namespace {

using qrl::Ref;

// ---------------------------------------------------------------------------
// The module's state: names and keyword tuples, made once at import

using qrl::Held;
using qrl::name;

struct State {
    Held pathlib = name("pathlib"), Path = name("Path"), int_ = name("int"), str_ = name("str");
    Held add_argument = name("add_argument"), add_parser = name("add_parser"), set_defaults = name("set_defaults");
    Held pluginManager = name("pluginManager"), withRuntimeJwt = name("withRuntimeJwt"),
         withStringCompression = name("withStringCompression"), runtimeJwtPublic = name("runtimeJwtPublic"),
         public_ = name("public");
    Held to_bytes = name("to_bytes"), big = name("big"), define_macro = name("define_macro"),
         compress_macro = name("CYTHON_COMPRESS_STRINGS"), substitute = name("substitute"), Template = name("Template");
    Held proBootstrapPxdTemplate = name("proBootstrapPxdTemplate"), proBootstrapTemplate = name("proBootstrapTemplate");
    Held pxd = name("pxd"), code = name("code"), exports = name("exports"), features = name("features"),
         pro = name("pro"), jwt_verify = name("jwt_verify");
    // Keyword-name tuples of the calls made with keywords.
    Held kw_type_help = qrl::steal(Py_BuildValue("(ss)", "type", "help"));
    Held kw_type_required_help = qrl::steal(Py_BuildValue("(sss)", "type", "required", "help"));
    Held kw_help = qrl::steal(Py_BuildValue("(s)", "help"));
    Held kw_func = qrl::steal(Py_BuildValue("(s)", "func"));
    Held kw_byteorder = qrl::steal(Py_BuildValue("(s)", "byteorder"));
    Held kw_runtimeJwtPublic = qrl::steal(Py_BuildValue("(s)", "runtimeJwtPublic"));
};

const State& state(qrl::Call& call) { return call.state<State>(); }

// ---------------------------------------------------------------------------
// Small helpers

// pathlib.Path, looked up through the module's globals.
Ref path_class(qrl::Call& call) {
    Ref pathlib = qrl::global(call.globals(), state(call).pathlib);
    return pathlib ? qrl::getattr(pathlib.get(), state(call).Path) : Ref();
}

bool set_attr(PyObject* obj, PyObject* name, PyObject* value) { return PyObject_SetAttr(obj, name, value) == 0; }

Ref text(const char* value) { return qrl::steal(PyUnicode_FromString(value)); }

// ---------------------------------------------------------------------------
// Plugin(pluginManager) and the argument hooks

PyObject* plugin_init(qrl::Call& call, PyObject* self, PyObject* pluginManager) {
    if (!set_attr(self, state(call).pluginManager, pluginManager)) return nullptr;
    Py_RETURN_NONE;
}

// buildParser.add_argument("--public", type=pathlib.Path, help=...)
PyObject* extend_build_parser(qrl::Call& call, PyObject*, PyObject* buildParser) {
    const State& s = state(call);
    Ref path = path_class(call);
    Ref option = path ? text("--public") : Ref();
    Ref help = option ? text("PEM public key for runtime JWT verification API (Pro)") : Ref();
    if (!help || !qrl::call_method_kw(buildParser, s.add_argument, {option.get(), path.get(), help.get()}, s.kw_type_help))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* get_compile_args(qrl::Call&, PyObject*) { return PyList_New(0); }

PyObject* get_linker_args(qrl::Call&, PyObject*, PyObject*, PyObject*) { return PyDict_New(); }

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
        return qrl::global(call.globals(), state(call).int_);
    case Converter::Str:
        return qrl::global(call.globals(), state(call).str_);
    }
    return {};
}

bool add_argument(qrl::Call& call, PyObject* parser, const ArgumentSpec& argument) {
    const State& s = state(call);
    Ref name = text(argument.name);
    Ref help = name ? text(argument.help) : Ref();
    Ref type = help ? converter(call, argument.type) : Ref();
    if (!type) return false;
    Ref ignored = argument.required ? qrl::call_method_kw(parser, s.add_argument,
                                                          {name.get(), type.get(), Py_True, help.get()},
                                                          s.kw_type_required_help)
                                    : qrl::call_method_kw(parser, s.add_argument, {name.get(), type.get(), help.get()},
                                                          s.kw_type_help);
    return static_cast<bool>(ignored);
}

// add_parser, its arguments in order, then the handler imported from its
// sibling module and bound with set_defaults(func=).
bool add_subcommand(qrl::Call& call, PyObject* subParsers, const SubcommandSpec& command) {
    const State& s = state(call);
    Ref name = text(command.name);
    Ref help = name ? text(command.help) : Ref();
    Ref parser = help ? qrl::call_method_kw(subParsers, s.add_parser, {name.get(), help.get()}, s.kw_help) : Ref();
    if (!parser) return false;
    for (const ArgumentSpec& argument : command.arguments) {
        if (!argument.name) break;
        if (!add_argument(call, parser.get(), argument)) return false;
    }
    Ref handler_name = qrl::intern(command.handler);
    Ref handler[1];
    return handler_name &&
           qrl::import_names(call.globals(), command.handler_module, {handler_name.get()}, handler) &&
           qrl::call_method_kw(parser.get(), s.set_defaults, {handler[0].get()}, s.kw_func);
}

PyObject* extend_sub_parsers(qrl::Call& call, PyObject*, PyObject* subParsers) {
    for (const SubcommandSpec& command : kSubcommands) {
        if (!add_subcommand(call, subParsers, command)) return nullptr;
    }
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Build hooks

// x.to_bytes(32, byteorder="big")
Ref coordinate_bytes(const State& s, PyObject* coordinate, PyObject* length) {
    return qrl::call_method_kw(coordinate, s.to_bytes, {length, s.big}, s.kw_byteorder);
}

// Turns the PEM public key at args.public into x || y, 32 big-endian bytes
// each; the attributes are reset first so that a failure leaves no key.
PyObject* extend_build(qrl::Call& call, PyObject* self, PyObject* args) {
    const State& s = state(call);
    if (!set_attr(self, s.withRuntimeJwt, Py_True) || !set_attr(self, s.withStringCompression, Py_True) ||
        !set_attr(self, s.runtimeJwtPublic, Py_None))
        return nullptr;

    const int with_runtime_jwt = qrl::truth(qrl::getattr(self, s.withRuntimeJwt));
    if (with_runtime_jwt < 0) return nullptr;
    if (!with_runtime_jwt) Py_RETURN_NONE;
    Ref public_path = qrl::getattr(args, s.public_);
    const int given = qrl::truth(public_path);
    if (given < 0) return nullptr;
    if (!given) Py_RETURN_NONE;

    Ref decodekey[2];  // pem_public_key_to_der, der_spki_ec_to_jwk
    Ref jwt_es256[1];  // public_key_xy_from_jwk
    if (!qrl::import_names(call.globals(), "decodekey", {qrl::name("pem_public_key_to_der"), qrl::name("der_spki_ec_to_jwk")},
                           decodekey) ||
        !qrl::import_names(call.globals(), "jwt_es256", {qrl::name("public_key_xy_from_jwk")}, jwt_es256))
        return nullptr;
    Ref xy = common::public_point_of_pem_file(public_path.get(), decodekey[0].get(), decodekey[1].get(),
                                              jwt_es256[0].get());
    Ref coordinates[2];
    if (!xy || !qrl::unpack(xy.get(), coordinates)) return nullptr;

    Ref length = qrl::int_from(32);
    Ref x_bytes = length ? coordinate_bytes(s, coordinates[0].get(), length.get()) : Ref();
    Ref y_bytes = x_bytes ? coordinate_bytes(s, coordinates[1].get(), length.get()) : Ref();
    Ref block = qrl::add(x_bytes, y_bytes);
    if (!block || !set_attr(self, s.runtimeJwtPublic, block.get())) return nullptr;
    Py_RETURN_NONE;
}

// compiler.define_macro("CYTHON_COMPRESS_STRINGS", 90) when compression is on.
PyObject* extend_compiler(qrl::Call& call, PyObject* self, PyObject* compiler) {
    const State& s = state(call);
    const int compress = qrl::truth(qrl::getattr(self, s.withStringCompression));
    if (compress < 0) return nullptr;
    if (compress) {
        Ref level = qrl::int_from(90);
        if (!level || !qrl::call_method(compiler, s.define_macro, s.compress_macro.get(), level.get())) return nullptr;
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
PyObject* extend_template(qrl::Call& call, PyObject* self) {
    const State& s = state(call);
    Ref tempita[1];  // Template
    Ref texts[2];    // proBootstrapPxdTemplate, proBootstrapTemplate
    if (!qrl::import_names(call.globals(), "Cython.Tempita", {s.Template}, tempita, 0) ||
        !qrl::import_names(call.globals(), "protemplate", {s.proBootstrapPxdTemplate, s.proBootstrapTemplate}, texts))
        return nullptr;

    Ref template_obj = qrl::call(tempita[0].get(), texts[1].get());
    Ref substitute = template_obj ? qrl::getattr(template_obj.get(), s.substitute) : Ref();
    Ref key_block = substitute ? qrl::getattr(self, s.runtimeJwtPublic) : Ref();
    Ref content = key_block ? qrl::call_kw(substitute.get(), {key_block.get()}, s.kw_runtimeJwtPublic) : Ref();
    if (!content) return nullptr;

    Ref pxd = single_item_dict(s.pro, texts[0].get());
    Ref code = single_item_dict(s.pro, content.get());
    Ref exports = qrl::steal(PyDict_New());
    Ref features = single_item_dict(s.jwt_verify, Py_True);
    Ref result = qrl::steal(PyDict_New());
    if (!pxd || !code || !exports || !features || !result || PyDict_SetItem(result.get(), s.pxd, pxd.get()) < 0 ||
        PyDict_SetItem(result.get(), s.code, code.get()) < 0 ||
        PyDict_SetItem(result.get(), s.exports, exports.get()) < 0 ||
        PyDict_SetItem(result.get(), s.features, features.get()) < 0)
        return nullptr;
    return result.release();
}

// ---------------------------------------------------------------------------
// The class and the module

const qrl::FunctionSpec kInit{
    .name = "__init__",
    .qualname = "Plugin.__init__",
    .doc = "Keep the host's plug-in manager as self.pluginManager.",
    .params = {{.name = "self"}, {.name = "pluginManager"}},
    .impl = qrl::impl<plugin_init>,
};
const qrl::FunctionSpec kExtendSubParsers{
    .name = "extendSubParsers",
    .qualname = "Plugin.extendSubParsers",
    .doc = "Register the keygen, sign and show subcommands with their handlers.",
    .params = {{.name = "self"}, {.name = "subParsers"}},
    .impl = qrl::impl<extend_sub_parsers>,
};
const qrl::FunctionSpec kExtendBuildParser{
    .name = "extendBuildParser",
    .qualname = "Plugin.extendBuildParser",
    .doc = "Add the build option --public (PEM public key for runtime token verification).",
    .params = {{.name = "self"}, {.name = "buildParser"}},
    .impl = qrl::impl<extend_build_parser>,
};
const qrl::FunctionSpec kExtendBuild{
    .name = "extendBuild",
    .qualname = "Plugin.extendBuild",
    .doc = "Switch the build features on and turn args.public into the 64-byte runtime key block.",
    .params = {{.name = "self"}, {.name = "args"}},
    .impl = qrl::impl<extend_build>,
};
const qrl::FunctionSpec kExtendCompiler{
    .name = "extendCompiler",
    .qualname = "Plugin.extendCompiler",
    .doc = "Define the string compression macro on the host's compiler.",
    .params = {{.name = "self"}, {.name = "compiler"}},
    .impl = qrl::impl<extend_compiler>,
};
const qrl::FunctionSpec kExtendTemplate{
    .name = "extendTemplate",
    .qualname = "Plugin.extendTemplate",
    .doc = "Render the runtime verification module and return it with its declaration text.",
    .params = {{.name = "self"}},
    .impl = qrl::impl<extend_template>,
};
const qrl::FunctionSpec kGetCompileArgs{
    .name = "getCompileArgs",
    .qualname = "Plugin.getCompileArgs",
    .doc = "Extra compiler arguments: none.",
    .params = {{.name = "self"}},
    .impl = qrl::impl<get_compile_args>,
};
const qrl::FunctionSpec kGetLinkerArgs{
    .name = "getLinkerArgs",
    .qualname = "Plugin.getLinkerArgs",
    .doc = "Extra linker arguments: none.",
    .params = {{.name = "self"}, {.name = "exeName"}, {.name = "libraryPath"}},
    .impl = qrl::impl<get_linker_args>,
};

// In definition order.
const qrl::FunctionSpec* const kMethods[] = {
    &kInit,           &kExtendSubParsers, &kExtendBuildParser, &kExtendBuild,
    &kExtendCompiler, &kExtendTemplate,   &kGetCompileArgs,    &kGetLinkerArgs,
};

// type("Plugin", (object,), namespace): a plain class holding the methods,
// with __module__ and __doc__ as a class statement would give it.
Ref make_plugin_class(PyObject* module, const State& s) {
    Ref ns = qrl::steal(PyDict_New());
    Ref module_name = qrl::steal(PyModule_GetNameObject(module));
    Ref doc = text("The quarlopro plug-in: hooks that quarlo calls while it builds its command line and its programs.");
    if (!ns || !module_name || !doc || PyDict_SetItemString(ns.get(), "__module__", module_name.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__doc__", doc.get()) < 0)
        return {};
    for (const qrl::FunctionSpec* spec : kMethods) {
        Ref method = qrl::make_function(*spec, module, &s);
        if (!method || PyDict_SetItemString(ns.get(), spec->name, method.get()) < 0) return {};
    }
    Ref name = text("Plugin");
    Ref bases = qrl::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    if (!name || !bases) return {};
    return qrl::call(reinterpret_cast<PyObject*>(&PyType_Type), name.get(), bases.get(), ns.get());
}

bool exec_main(PyObject* module, State& s) {
    if (PyErr_Occurred() || !qrl::require_runtime()) return false;
    return qrl::import_into(module, "logging") && qrl::import_into(module, "pathlib") && qrl::bind_file_logger(module) &&
           qrl::bind(module, "Plugin", make_plugin_class(module, s));
}

qrl::Module<State> definition("quarlopro.main", "main", "The quarlopro plug-in of quarlo: the Plugin class.", exec_main);

}  // namespace

PyMODINIT_FUNC PyInit_main(void) { return qrl::module_init<definition>(); }
