#include "pybinding/binding.hpp"

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace lumvex::py {

// ---------------------------------------------------------------------------
// Errors

PyObject* internal_error_type() {
  // Created on first use and kept for the life of the process; only touched
  // with the interpreter lock held.
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "lumvex.InternalError",
        "A failed invariant inside lumvex (a poisoned lock, a broken assertion,\n"
        "a host program that cannot be started). It derives from BaseException,\n"
        "so `except Exception` does not catch it.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

namespace {

// Sets `type` with the UTF-8 `text` (undecodable bytes replaced) as its single
// argument.
void set_text_error(PyObject* type, std::string_view text) {
  OwnedRef message(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (message) PyErr_SetObject(type, message.get());
}

// The errno value that stands for an error's kind, as the OSError a
// host filesystem would raise for it would carry.
int errno_of(const IoError& error) {
  switch (error.kind()) {
    case IoErrorKind::InodeNotFound:
      return ENOENT;
    case IoErrorKind::NotADirectory:
      return ENOTDIR;
    case IoErrorKind::NotAFile:
      return EISDIR;
    case IoErrorKind::MaxRecursionDepthExceeded:
      return ENAMETOOLONG;
    case IoErrorKind::ResourceAlreadyExists:
      return EEXIST;
    case IoErrorKind::DirectoryIsNotEmpty:
      return ENOTEMPTY;
    case IoErrorKind::ResourceCurrentInUse:
      return EBUSY;
    case IoErrorKind::InvalidFileDescriptor:
      return EBADF;
    case IoErrorKind::LimitExceeded:
      return ENOSPC;  // raised as OSError, not ValueError
    case IoErrorKind::OperationNotSupported:
      // Reading or writing through a handle not opened for it is a bad
      // descriptor, as read(2) and write(2) say.
      if (std::strcmp(error.operation(), "read") == 0 ||
          std::strcmp(error.operation(), "write") == 0)
        return EBADF;
      return EINVAL;
    case IoErrorKind::NotASymlink:
    case IoErrorKind::UnrecognizedFileMode:
      break;
  }
  return EINVAL;
}

// A filesystem error: ValueError with the error's text as its one argument,
// and its kind as data in the instance's `errno` attribute, so that callers
// can tell errors apart without reading their text.
void set_filesystem_error(const IoError& error) {
  const std::string text = error.to_string();
  OwnedRef message(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!message) return;
  OwnedRef instance(PyObject_CallFunctionObjArgs(PyExc_ValueError, message.get(), nullptr));
  if (!instance) return;
  OwnedRef code(PyLong_FromLong(errno_of(error)));
  if (!code || PyObject_SetAttrString(instance.get(), "errno", code.get()) < 0) return;
  PyErr_SetObject(PyExc_ValueError, instance.get());
}

void set_internal_error(const char* text) {
  PyObject* type = internal_error_type();
  if (type != nullptr) set_text_error(type, text);
}

}  // namespace

PyObject* raise_error(const Failure& failure) noexcept {
  if (const auto* io_error = std::get_if<IoError>(&failure)) {
    try {
      if (io_error->kind() == IoErrorKind::LimitExceeded) {
        // Like a full disk: OSError with errno ENOSPC.
        const std::string text = io_error->to_string();
        PyObject* args = Py_BuildValue("(is)", ENOSPC, text.c_str());
        if (args != nullptr) {
          PyErr_SetObject(PyExc_OSError, args);
          Py_DECREF(args);
        }
      } else {
        set_filesystem_error(*io_error);
      }
    } catch (...) {
      PyErr_NoMemory();
    }
  } else if (const auto* text = std::get_if<std::string_view>(&failure)) {
    set_text_error(PyExc_ValueError, *text);
  } else {
    const auto& exception = std::get<std::exception_ptr>(failure);
    try {
      if (exception) std::rethrow_exception(exception);
      set_internal_error("unknown failure");
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    } catch (const std::exception& e) {
      set_internal_error(e.what());
    } catch (...) {
      set_internal_error("unknown C++ exception");
    }
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// Argument binding

namespace {

// Parameters are counted from 0; required ones come first.
std::size_t required_count(const Signature& signature) {
  std::size_t n = 0;
  while (n < signature.size() && !signature[n].optional) ++n;
  return n;
}

bool too_many_positional(const Signature& signature, Py_ssize_t given) {
  const std::size_t total = signature.positional();
  const std::size_t required = required_count(signature);
  const char* verb = given == 1 ? "was" : "were";
  if (required == total) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd %s given",
                 signature.function(), total, total == 1 ? "" : "s", given, verb);
  } else {
    PyErr_Format(PyExc_TypeError,
                 "%s() takes from %zu to %zu positional arguments but %zd %s given",
                 signature.function(), required, total, given, verb);
  }
  return false;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'", as the interpreter lists them.
bool missing_arguments(const Signature& signature,
                       const std::array<PyObject*, kMaxParams>& values) {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < signature.size(); ++i) {
    if (values[i] == nullptr && !signature[i].optional) missing.push_back(signature[i].name);
  }
  std::string list;
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) list += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
    list += '\'';
    list += missing[i];
    list += '\'';
  }
  PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s",
               signature.function(), missing.size(), missing.size() == 1 ? "" : "s", list.c_str());
  return false;
}

// Binds `nargs` positional arguments, `positional(i)` giving the i-th, then
// every (key, value) pair that `for_each_keyword` feeds to its callback.
template <typename Positional, typename ForEachKeyword>
bool bind_arguments(const Signature& signature, Py_ssize_t nargs, Positional&& positional,
                    ForEachKeyword&& for_each_keyword, std::array<PyObject*, kMaxParams>& values) {
  values.fill(nullptr);
  if (nargs > static_cast<Py_ssize_t>(signature.positional())) {
    return too_many_positional(signature, nargs);
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) values[static_cast<std::size_t>(i)] = positional(i);

  const bool keywords_ok = for_each_keyword([&](PyObject* key, PyObject* value) {
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", signature.function());
      return false;
    }
    for (std::size_t j = 0; j < signature.size(); ++j) {
      if (PyUnicode_CompareWithASCIIString(key, signature[j].name) != 0) continue;
      if (values[j] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                     signature.function(), signature[j].name);
        return false;
      }
      values[j] = value;
      return true;
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'",
                 signature.function(), key);
    return false;
  });
  if (!keywords_ok) return false;

  for (std::size_t i = 0; i < signature.size(); ++i) {
    if (values[i] == nullptr && !signature[i].optional) return missing_arguments(signature, values);
  }
  return true;
}

}  // namespace

// A METH_FASTCALL method gets its positional arguments as a plain count and
// array (the vectorcall offset flag is the interpreter's business), the
// keyword values right after them.
bool BoundArgs::bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
  signature_ = &signature;
  auto positional = [&](Py_ssize_t i) { return args[i]; };
  auto for_each_keyword = [&](auto&& accept) {
    const Py_ssize_t count = kwnames ? PyTuple_Size(kwnames) : 0;
    for (Py_ssize_t k = 0; k < count; ++k) {
      if (!accept(PyTuple_GetItem(kwnames, k), args[nargs + k])) return false;
    }
    return true;
  };
  return bind_arguments(signature, nargs, positional, for_each_keyword, values_);
}

bool BoundArgs::bind(const Signature& signature, PyObject* args, PyObject* kwargs) {
  signature_ = &signature;
  auto positional = [&](Py_ssize_t i) { return PyTuple_GetItem(args, i); };
  auto for_each_keyword = [&](auto&& accept) {
    if (kwargs == nullptr) return true;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!accept(key, value)) return false;
    }
    return true;
  };
  return bind_arguments(signature, PyTuple_Size(args), positional, for_each_keyword, values_);
}

// ---------------------------------------------------------------------------
// Conversions

namespace {

// TypeError("expected {expected}, got {type of object}"); returns false.
bool raise_expected(const char* expected, PyObject* object) {
  OwnedRef got = type_name(Py_TYPE(object));
  if (got) PyErr_Format(PyExc_TypeError, "expected %s, got %U", expected, got.get());
  return false;
}

}  // namespace

bool to_text(PyObject* object, std::string_view& out) {
  if (!PyUnicode_Check(object)) return raise_expected("str", object);
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) return false;  // lone surrogates: UnicodeEncodeError
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

bool to_bytes(PyObject* object, std::string_view& out) {
  if (!PyBytes_Check(object)) return raise_expected("bytes", object);
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(object, &data, &size) < 0) return false;
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

bool to_bool(PyObject* object, bool& out) {
  if (object == Py_True || object == Py_False) {
    out = object == Py_True;
    return true;
  }
  // NumPy's boolean scalar, recognised by its type's name so that NumPy need
  // not be imported ("numpy.bool_" before NumPy 2, "numpy.bool" since).
  OwnedRef name = type_name(Py_TYPE(object));
  if (!name) return false;
  if (PyUnicode_CompareWithASCIIString(name.get(), "numpy.bool_") == 0 ||
      PyUnicode_CompareWithASCIIString(name.get(), "numpy.bool") == 0) {
    const int truth = PyObject_IsTrue(object);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "expected bool, got %U", name.get());
  return false;
}

bool to_size(PyObject* object, std::size_t& out, std::size_t max) {
  OwnedRef index(PyNumber_Index(object));
  if (!index) return false;
  const std::size_t value = PyLong_AsSize_t(index.get());
  if (value == static_cast<std::size_t>(-1) && PyErr_Occurred()) return false;
  if (value > max) {
    PyErr_Format(PyExc_OverflowError, "int too large to convert (the largest accepted is %zu)",
                 max);
    return false;
  }
  out = value;
  return true;
}

bool check_instance(PyObject* object, PyTypeObject* type) {
  if (PyObject_TypeCheck(object, type)) return true;
  OwnedRef expected = type_name(type);
  OwnedRef got = expected ? type_name(Py_TYPE(object)) : OwnedRef();
  if (got) PyErr_Format(PyExc_TypeError, "expected %U, got %U", expected.get(), got.get());
  return false;
}

OwnedRef type_name(PyTypeObject* type) {
  PyObject* as_object = reinterpret_cast<PyObject*>(type);
  OwnedRef name(PyObject_GetAttrString(as_object, "__name__"));
  if (!name || (PyType_GetFlags(type) & Py_TPFLAGS_HEAPTYPE) != 0) return name;
  // A static type's name in messages carries its module, unless that is
  // builtins: "int", "numpy.ndarray". (A heap type's is its __name__.)
  OwnedRef module(PyObject_GetAttrString(as_object, "__module__"));
  if (!module) return OwnedRef();
  if (!PyUnicode_Check(module.get()) ||
      PyUnicode_CompareWithASCIIString(module.get(), "builtins") == 0) {
    return name;
  }
  return OwnedRef(PyUnicode_FromFormat("%U.%U", module.get(), name.get()));
}

void raise_wrong_receiver(PyObject* self, PyTypeObject* type, const char* method) {
  OwnedRef expected = type_name(type);
  if (!expected) return;
  if (self == nullptr) {
    PyErr_Format(PyExc_TypeError, "descriptor '%s' requires a '%U' object but received a 'NULL'",
                 method, expected.get());
    return;
  }
  OwnedRef got = type_name(Py_TYPE(self));
  if (!got) return;
  PyErr_Format(PyExc_TypeError, "descriptor '%s' requires a '%U' object but received a '%U'",
               method, expected.get(), got.get());
}

void rewrap_argument_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject *raw_type, *raw_value, *raw_traceback;
  PyErr_Fetch(&raw_type, &raw_value, &raw_traceback);
  PyErr_NormalizeException(&raw_type, &raw_value, &raw_traceback);
  OwnedRef type(raw_type), original(raw_value), traceback(raw_traceback);
  if (traceback) PyException_SetTraceback(original.get(), traceback.get());

  OwnedRef message(PyUnicode_FromFormat("argument '%s': %S", name, original.get()));
  if (!message) return;
  OwnedRef replacement(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!replacement) return;
  PyException_SetContext(replacement.get(), Py_NewRef(original.get()));
  PyException_SetCause(replacement.get(), original.release());
  PyErr_SetObject(PyExc_TypeError, replacement.get());
}

bool BoundArgs::text(std::size_t i, std::string_view& out) const {
  return convert(i, [&](PyObject* object) { return to_text(object, out); });
}

bool BoundArgs::optional_text(std::size_t i, std::optional<std::string_view>& out) const {
  if (values_[i] == nullptr || values_[i] == Py_None) {
    out.reset();
    return true;
  }
  std::string_view text;
  if (!convert(i, [&](PyObject* object) { return to_text(object, text); })) return false;
  out = text;
  return true;
}

bool BoundArgs::bytes(std::size_t i, std::string_view& out) const {
  return convert(i, [&](PyObject* object) { return to_bytes(object, out); });
}

bool BoundArgs::boolean(std::size_t i, bool& out) const {
  return convert(i, [&](PyObject* object) { return to_bool(object, out); });
}

bool BoundArgs::size(std::size_t i, std::size_t& out, std::size_t max) const {
  return convert(i, [&](PyObject* object) { return to_size(object, out, max); });
}

// ---------------------------------------------------------------------------
// Results

PyObject* to_str(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

PyObject* to_bytes_object(std::string_view data) {
  return PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size()));
}

PyObject* to_int(std::uint64_t value) {
  return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value));
}

PyObject* none_or_raise(const IoResult<void>& result) {
  if (!result) return raise_error(result.error());
  return none();
}

// ---------------------------------------------------------------------------
// Resources

PyObject* enter_self(PyObject* self, PyObject*) {
  return Py_NewRef(self);
}

void warn_unclosed(PyObject* self) {
  OwnedRef name = type_name(Py_TYPE(self));
  if (!name) return;
  PyErr_ResourceWarning(nullptr, 1, "unclosed <lumvex.%U object at %p>", name.get(),
                        static_cast<void*>(self));
}

// ---------------------------------------------------------------------------
// Classes

namespace {

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined");
  return nullptr;
}

// Stands for __module__ while the type is made: a bare type name with no
// __module__ of its own draws a DeprecationWarning. Replaced by the module's
// name right after.
PyGetSetDef kModulePlaceholder[] = {
    {"__module__", nullptr, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The type's own attribute dictionary (a new reference): `type.__dict__` is
// a read-only proxy, but the generic __dict__ getter, applied to a type,
// gives the dictionary itself.
OwnedRef type_dict(PyTypeObject* type) {
  return OwnedRef(PyObject_GenericGetDict(reinterpret_cast<PyObject*>(type), nullptr));
}

}  // namespace

PyTypeObject* build_class(const char* name, const char* doc, std::size_t basicsize,
                          std::initializer_list<PyType_Slot> slots, destructor dealloc) {
  std::vector<PyType_Slot> all(slots);
  bool has_new = false, has_dealloc = false;
  for (const PyType_Slot& slot : slots) {
    if (slot.slot == Py_tp_getset) throw InternalError("build_class: classes have no getset");
    has_new = has_new || slot.slot == Py_tp_new;
    has_dealloc = has_dealloc || slot.slot == Py_tp_dealloc;
  }
  if (!has_new) all.push_back({Py_tp_new, reinterpret_cast<void*>(&no_constructor)});
  if (!has_dealloc) all.push_back({Py_tp_dealloc, reinterpret_cast<void*>(dealloc)});
  all.push_back({Py_tp_doc, const_cast<char*>(doc)});
  all.push_back({Py_tp_getset, kModulePlaceholder});
  all.push_back({0, nullptr});

  // No Py_TPFLAGS_BASETYPE (not subclassable); basicsize leaves no room for
  // a __dict__ or weak-reference slot. A name without a dot is the type's
  // bare name in every message. Immutable: users cannot rebind or delete
  // the class's attributes.
  PyType_Spec spec{name, static_cast<int>(basicsize), 0,
                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, all.data()};
  OwnedRef type(PyType_FromSpec(&spec));
  if (!type) return nullptr;
  auto* type_object = reinterpret_cast<PyTypeObject*>(type.get());
  OwnedRef dict = type_dict(type_object);
  OwnedRef module(PyUnicode_FromString("lumvex"));
  // Removed and added again, so that __module__ follows __doc__ as in any
  // class made from a dotted name.
  if (!dict || !module || PyDict_DelItemString(dict.get(), "__module__") < 0 ||
      PyDict_SetItemString(dict.get(), "__module__", module.get()) < 0) {
    return nullptr;
  }
  PyType_Modified(type_object);
  return reinterpret_cast<PyTypeObject*>(type.release());
}

bool optional_count(const char* name, PyObject* object, std::uint64_t minimum,
                    const char* type_text, const char* range_text,
                    std::optional<std::uint64_t>& out) {
  if (object == nullptr || object == Py_None) return true;
  if (PyBool_Check(object) || !PyLong_Check(object)) {
    PyErr_Format(PyExc_TypeError, "%s %s", name, type_text);
    return false;
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(object);
  if (PyErr_Occurred() || value < minimum) {
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "%s %s", name, range_text);
    return false;
  }
  out = value;
  return true;
}

bool add_getters(PyTypeObject* type, PyGetSetDef* defs) {
  for (PyGetSetDef* def = defs; def->name != nullptr; ++def) {
    OwnedRef descriptor(PyDescr_NewGetSet(type, def));
    if (!add_class_attribute(type, def->name, descriptor.get())) return false;
  }
  return true;
}

bool add_class_attribute(PyTypeObject* type, const char* name, PyObject* value) {
  if (value == nullptr) return false;
  OwnedRef dict = type_dict(type);
  if (!dict || PyDict_SetItemString(dict.get(), name, value) < 0) return false;
  PyType_Modified(type);
  return true;
}

}  // namespace lumvex::py
