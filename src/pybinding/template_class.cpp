// Template: a read-only file tree that sessions start their home from (see
// sandbox/template_layer.hpp). Made from a host directory, from a PyFs
// subtree (by the companion module, through a private directory) or by a
// session's snapshot(); shared by the objects and sessions that hold it.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

#include "pybinding/binding.hpp"
#include "pybinding/classes.hpp"
#include "sandbox/template_layer.hpp"

namespace lumvex::py {

template <>
PyTypeObject* class_type<PyTemplateData>() {
  return template_type();
}

namespace {

constexpr const char kTemplateDoc[] =
    "A read-only file tree that a session's home starts from.\n"
    "\n"
    "Made by Template.from_directory(path), Template.from_fs(fs, path) or\n"
    "PyTerminalSession.snapshot(); given to PyTerminalSession(pool,\n"
    "template=...) or PyUserPool(template=...). A session started from it\n"
    "finds the template's files in its home, owned by its account and\n"
    "writable, without any copy at start; what it changes stays its own and\n"
    "the template never changes. Kept while any object or session holds it.\n";

constexpr const char kFromDirectoryDoc[] =
    "from_directory($cls, path)\n--\n\n"
    "\n"
    "A template holding a copy of the host directory path: its regular files,\n"
    "directories and symbolic links (as links), with their permission bits\n"
    "but no set-user-id or set-group-id bit. Links inside it are not\n"
    "followed; devices, FIFOs and sockets are left out.\n";

constexpr const char kFromFsDoc[] =
    "from_fs($cls, fs, path='/')\n--\n\n"
    "\n"
    "A template holding the files and directories below path of the PyFs fs.\n";

// OSError(errno, message) for a failure on the host.
PyObject* raise_host(const HostError& error) {
  OwnedRef args(Py_BuildValue("(is)", error.code == 0 ? EIO : error.code, error.message().c_str()));
  if (args) PyErr_SetObject(PyExc_OSError, args.get());
  return nullptr;
}

// OSError(EOPNOTSUPP, why) on a host that cannot give templates.
bool check_host() {
  const std::string why = templates_unavailable();
  if (why.empty()) return true;
  raise_host(HostError{why, EOPNOTSUPP});
  return false;
}

PyObject* from_directory(PyObject* /*cls*/, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* names[] = {"path", nullptr};
    PyObject* path_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:from_directory", const_cast<char**>(names),
                                     &path_arg)) {
      return nullptr;
    }
    OwnedRef path(PyOS_FSPath(path_arg));
    std::string_view text;
    if (!path || !to_text(path.get(), text)) {
      PyErr_Clear();
      PyErr_SetString(PyExc_TypeError, "path must be a str or os.PathLike of str");
      return nullptr;
    }
    const std::string name(text);
    if (name.find('\0') != std::string::npos) {
      PyErr_SetString(PyExc_ValueError, "path must not contain NUL");
      return nullptr;
    }
    if (!check_host()) return nullptr;
    HostResult<TemplateRef> made = [&]() -> HostResult<TemplateRef> {
      AllowThreads unlocked;
      UniqueFd dir(::open(name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      if (!dir) return host_error("open " + name);
      return TemplateLayer::make(dir.get(), TemplateLayer::Source::kDirectory, nullptr);
    }();
    if (!made) return raise_host(made.error());
    return new_template(std::move(*made));
  });
}

// from_fs(fs, path="/"): written in Python in the companion module.
PyObject* from_fs(PyObject* cls, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    OwnedRef module(PyImport_ImportModule("_lumvex_session_files"));
    if (!module) return nullptr;
    OwnedRef function(PyObject_GetAttrString(module.get(), "template_from_fs"));
    if (!function) return nullptr;
    const Py_ssize_t count = PyTuple_Size(args);
    OwnedRef full(PyTuple_New(count + 1));
    if (!full) return nullptr;
    PyTuple_SetItem(full.get(), 0, Py_NewRef(cls));
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyTuple_SetItem(full.get(), i + 1, Py_NewRef(PyTuple_GetItem(args, i)));
    }
    return PyObject_Call(function.get(), full.get(), kwargs);
  });
}

PyObject* layers_get(PyObject* self, void*) {
  return guarded(
      [&]() -> PyObject* { return to_int(payload<PyTemplateData>(self).layers->depth()); });
}

// Bytes of file data in every layer of `top`.
std::uint64_t layer_bytes(const TemplateRef& top) {
  std::uint64_t total = 0;
  for (const TemplateLayer* layer = top.get(); layer != nullptr; layer = layer->below().get()) {
    total += layer->bytes();
  }
  return total;
}

PyObject* nbytes_get(PyObject* self, void*) {
  return guarded(
      [&]() -> PyObject* { return to_int(layer_bytes(payload<PyTemplateData>(self).layers)); });
}

// <lumvex.Template layers=2 nbytes=15661>
PyObject* template_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const TemplateRef& top = payload<PyTemplateData>(self).layers;
    return to_str("<lumvex.Template layers=" + std::to_string(top->depth()) +
                  " nbytes=" + std::to_string(layer_bytes(top)) + ">");
  });
}

PyGetSetDef kTemplateGetters[] = {
    {"layers", &layers_get, nullptr,
     "How many layers the template stacks: 1, and one more for each snapshot\n"
     "on the way to it.",
     nullptr},
    {"nbytes", &nbytes_get, nullptr,
     "Bytes of file data the template's layers hold (each layer counted once).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kTemplateMethods[] = {
    {"from_directory", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&from_directory)),
     METH_VARARGS | METH_KEYWORDS | METH_CLASS, kFromDirectoryDoc},
    {"from_fs", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&from_fs)),
     METH_VARARGS | METH_KEYWORDS | METH_CLASS, kFromFsDoc},
    kMethodsEnd,
};

PyTypeObject* build_template_type() {
  PyTypeObject* type = build_class<PyTemplateData>(
      "Template", kTemplateDoc,
      {{Py_tp_methods, kTemplateMethods}, {Py_tp_repr, reinterpret_cast<void*>(&template_repr)}});
  if (type != nullptr && !add_getters(type, kTemplateGetters)) return nullptr;
  return type;
}

}  // namespace

PyTypeObject* template_type() {
  return built_once<&build_template_type>();
}

PyObject* new_template(TemplateRef layers) {
  PyTypeObject* type = template_type();
  if (type == nullptr) return nullptr;
  return make_instance<PyTemplateData>(type, PyTemplateData{std::move(layers)});
}

}  // namespace lumvex::py
