// Whence: the three seek origins, as three class attributes made once.
#include <array>

#include "pybinding/binding.hpp"
#include "pybinding/classes.hpp"

namespace lumvex::py {
namespace {

constexpr const char kWhenceDoc[] =
    "\n"
    "A small enumeration to determine the whence\n"
    "when seeking in a file.\n";

struct Origin {
  const char* name;  // attribute name
  const char* text;  // repr and str
  SeekOrigin origin;
};

// Indexed by the integer value of the origin.
constexpr std::array<Origin, 3> kOrigins{{
    {"SEEK_SET", "Whence.SEEK_SET", SeekOrigin::Start},
    {"SEEK_CUR", "Whence.SEEK_CUR", SeekOrigin::Current},
    {"SEEK_END", "Whence.SEEK_END", SeekOrigin::End},
}};

long value_of(PyObject* self) {
  const SeekOrigin origin = payload<PyWhenceData>(self).origin;
  for (std::size_t i = 0; i < kOrigins.size(); ++i) {
    if (kOrigins[i].origin == origin) return static_cast<long>(i);
  }
  throw InternalError("Whence holds an unknown origin");
}

PyObject* whence_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    return PyUnicode_FromString(kOrigins[static_cast<std::size_t>(value_of(self))].text);
  });
}

PyObject* whence_int(PyObject* self) {
  return guarded([&]() -> PyObject* { return PyLong_FromLong(value_of(self)); });
}

// The value `other` stands for when compared with a Whence: another Whence,
// or anything with __index__ whose value fits a signed machine word. Returns
// 1 with `out` set, 0 when the comparison is not ours to make, -1 on error
// (__index__ raised).
int comparable_value(PyObject* other, PyTypeObject* type, Py_ssize_t& out) {
  if (PyObject_TypeCheck(other, type)) {
    out = value_of(other);
    return 1;
  }
  if (!PyIndex_Check(other)) return 0;
  OwnedRef index(PyNumber_Index(other));
  if (!index) return -1;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) return -1;
  if (overflow != 0 || value < PY_SSIZE_T_MIN || value > PY_SSIZE_T_MAX) return 0;
  out = static_cast<Py_ssize_t>(value);
  return 1;
}

// == and != against integers and other Whence values; everything else,
// ordering included, is left to Python (NotImplemented).
PyObject* whence_richcompare(PyObject* self, PyObject* other, int op) {
  return guarded([&]() -> PyObject* {
    if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    Py_ssize_t value = 0;
    const int found = comparable_value(other, Py_TYPE(self), value);
    if (found < 0) return nullptr;
    if (found == 0) Py_RETURN_NOTIMPLEMENTED;
    const bool equal = value == value_of(self);
    return PyBool_FromLong((op == Py_EQ) == equal);
  });
}

PyTypeObject* build_whence_type() {
  OwnedRef type(reinterpret_cast<PyObject*>(build_class<PyWhenceData>(
      "Whence", kWhenceDoc,
      {
          {Py_tp_repr, reinterpret_cast<void*>(&whence_repr)},
          {Py_tp_str, reinterpret_cast<void*>(&whence_repr)},
          {Py_tp_richcompare, reinterpret_cast<void*>(&whence_richcompare)},
          {Py_tp_hash, reinterpret_cast<void*>(&PyObject_HashNotImplemented)},
          // int(w) only: without __index__ a Whence is not taken as a size.
          {Py_nb_int, reinterpret_cast<void*>(&whence_int)},
      })));
  if (!type) return nullptr;
  auto* type_object = reinterpret_cast<PyTypeObject*>(type.get());
  for (const Origin& origin : kOrigins) {
    OwnedRef value(make_instance<PyWhenceData>(type_object, PyWhenceData{origin.origin}));
    if (!add_class_attribute(type_object, origin.name, value.get())) return nullptr;
  }
  return reinterpret_cast<PyTypeObject*>(type.release());
}

}  // namespace

PyTypeObject* whence_type() {
  return built_once<&build_whence_type>();
}

}  // namespace lumvex::py
