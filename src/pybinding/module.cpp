// The module lumvex: single-phase initialisation that builds the classes
// once and caches the module object for the interpreter that first imported
// it.
#include "pybinding/binding.hpp"
#include "pybinding/classes.hpp"
#include "version.hpp"

namespace lumvex::py {
namespace {

// The classes in the order of the module's __all__.
struct ClassEntry {
  const char* name;
  PyTypeObject* (*type)();
};
constexpr ClassEntry kClasses[] = {
    {"PyFs", &fs_type},
    {"PyFileHandle", &file_handle_type},
    {"PyTerm", &term_type},
    {"Whence", &whence_type},
    {"PyUserPool", &user_pool_type},
    {"PyTerminalSession", &terminal_session_type},
};

// No per-module state (m_size 0): a repeated import in the same process
// calls PyInit_lumvex again instead of copying the module's dictionary,
// which lets it hand back the cached module or refuse a sub-interpreter.
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "lumvex",  // m_name
    "",        // m_doc
    0,         // m_size
    nullptr,   // m_methods
    nullptr,   // m_slots
    nullptr,   // m_traverse
    nullptr,   // m_clear
    nullptr,   // m_free
};

// Binds `type` as `name` and appends the name to __all__ (made on first use).
bool add_class(PyObject* module, const char* name, PyTypeObject* type) {
  if (type == nullptr) return false;
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  OwnedRef owned_all(all);
  if (all == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    owned_all = OwnedRef(PyList_New(0));
    if (!owned_all || PyModule_AddObjectRef(module, "__all__", owned_all.get()) < 0) return false;
  }
  OwnedRef name_object(PyUnicode_FromString(name));
  return name_object &&
         PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type)) == 0 &&
         PyList_Append(owned_all.get(), name_object.get()) == 0;
}

PyObject* create_module() {
  OwnedRef module(PyModule_Create(&module_def));
  if (!module) return nullptr;
  for (const ClassEntry& entry : kClasses) {
    if (!add_class(module.get(), entry.name, entry.type())) return nullptr;
  }
  // Template is reachable as an attribute; __all__ stays the six classes.
  PyTypeObject* templates = template_type();
  if (templates == nullptr ||
      PyModule_AddObjectRef(module.get(), "Template", reinterpret_cast<PyObject*>(templates)) < 0) {
    return nullptr;
  }
  PyObject* internal_error = internal_error_type();
  if (internal_error == nullptr ||
      PyModule_AddObjectRef(module.get(), "InternalError", internal_error) < 0 ||
      PyModule_AddStringConstant(module.get(), "__version__", kVersion) < 0 ||
      !register_fork_handler()) {
    return nullptr;
  }
  return module.release();
}

PyObject* init_module() {
  // The module and the interpreter it belongs to, kept for the life of the
  // process once initialisation has succeeded.
  static PyObject* module = nullptr;
  static PyInterpreterState* owner = nullptr;

  PyInterpreterState* interpreter = PyInterpreterState_Get();
  if (module != nullptr) {
    if (interpreter != owner) {
      PyErr_SetString(PyExc_ImportError,
                      "lumvex can be imported in only one interpreter per process");
      return nullptr;
    }
    return Py_NewRef(module);
  }
  module = create_module();
  if (module == nullptr) return nullptr;
  owner = interpreter;
  return Py_NewRef(module);
}

}  // namespace
}  // namespace lumvex::py

PyMODINIT_FUNC PyInit_lumvex() {
  return lumvex::py::guarded([] { return lumvex::py::init_module(); });
}
