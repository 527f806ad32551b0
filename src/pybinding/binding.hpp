// The small set of helpers every Python-facing class of the module is built
// from: owned references, argument binding and conversion, mapping of core
// failures to Python exceptions, a call guard that keeps C++ exceptions out
// of the interpreter, heap-type construction and instance layout.
//
// Every function here expects the interpreter lock to be held, except where
// its comment says otherwise.
//
// A method is one _impl function that holds only its logic; the adapter
// (method<>, constructor<>, below) binds and converts its arguments, checks
// its receiver, guards the call and maps its errors.
#pragma once

// The module is built against the stable ABI of CPython 3.11 (one abi3 wheel
// for every CPython from 3.11 on): the build defines Py_LIMITED_API, and no
// code here may reach into an interpreter structure.
#if !defined(Py_LIMITED_API) || Py_LIMITED_API != 0x030B0000
#error "the module is built with Py_LIMITED_API=0x030B0000 (see CMakeLists.txt)"
#endif

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>

#include "base/mutex.hpp"
#include "base/poison.hpp"
#include "base/thread_annotations.hpp"
#include "error/internal_error.hpp"
#include "error/io_error.hpp"

namespace lumvex::py {

// ---------------------------------------------------------------------------
// Owned references

// Owns one strong reference to a Python object (or none) and drops it when it
// goes out of scope.
class OwnedRef {
 public:
  OwnedRef() = default;
  // Takes over `object`, a new reference (may be null).
  explicit OwnedRef(PyObject* object) noexcept : object_(object) {}
  // A new reference to `object`, which stays owned by the caller as well.
  static OwnedRef borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return OwnedRef(object);
  }

  OwnedRef(OwnedRef&& other) noexcept : object_(other.release()) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = other.release();
    }
    return *this;
  }
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  ~OwnedRef() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  // Hands the reference to the caller; this object becomes empty.
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  PyObject* object_ = nullptr;
};

// ---------------------------------------------------------------------------
// Errors

// The module's internal-error exception type, lumvex.InternalError, derived
// directly from BaseException so that `except Exception` does not catch it.
// Created on the first call and kept for the life of the process. Returns a
// borrowed reference, or null with an exception set if it cannot be created.
PyObject* internal_error_type();

// A failure to report to Python: an IoError from the core, an error text from
// the terminal or a session, or a caught C++ exception.
using Failure = std::variant<IoError, std::string_view, std::exception_ptr>;

// The one place where failures become Python exceptions. Sets the exception
// and returns null, so that a method can `return raise_error(...)`.
//   IoError            -> ValueError(display text), the text as its single argument
//   error text         -> ValueError(text)
//   std::bad_alloc     -> MemoryError
//   any other C++ exception (InternalError included) -> lumvex.InternalError(what())
PyObject* raise_error(const Failure& failure) noexcept;

// Runs `body` (which returns a PyObject* or, for int slots, an int) and turns
// any C++ exception escaping it into a Python exception through raise_error.
// `on_error` is what is returned then: null by default, -1 for int slots.
//
// The one thing let through is the forced unwinding of a thread that the
// interpreter ends when it takes the interpreter lock back during shutdown
// (see AllowThreads): that must run to the thread's end, releasing the locks
// on its way.
template <typename F, typename R = std::invoke_result_t<F&>>
R guarded(F&& body, R on_error = R{}) {
  try {
    return body();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    raise_error(std::current_exception());
    return on_error;
  }
}

// For a tp_dealloc: runs `body` and reports a failure in it (a C++ exception
// or a Python exception it left set) through the interpreter's
// unraisable-exception hook, then returns so that the deallocation completes.
// The report names the object's type, not the object: a hook that kept a
// reference to an object whose count has already dropped to zero would
// bring it back from the dead. An exception that was set before
// (deallocation can happen while one propagates) is kept.
template <typename F>
void guarded_dealloc(PyObject* object, F&& body) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  try {
    body();
  } catch (abi::__forced_unwind&) {
    throw;  // the thread is being ended at shutdown (see guarded)
  } catch (...) {
    raise_error(std::current_exception());
  }
  if (PyErr_Occurred()) PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(Py_TYPE(object)));
  PyErr_Restore(type, value, traceback);
}

// ---------------------------------------------------------------------------
// Argument binding (METH_FASTCALL | METH_KEYWORDS methods and constructors)

inline constexpr std::size_t kMaxParams = 8;
inline constexpr bool kOptional = true;
inline constexpr bool kKeywordOnly = true;

// One parameter: positional or keyword, required unless `optional`. Optional
// parameters come after the required ones, keyword-only ones (always
// optional) after all others.
struct Param {
  constexpr Param(const char* param_name, bool is_optional = false,  // NOLINT: implicit
                  bool is_keyword_only = false)
      : name(param_name), optional(is_optional || is_keyword_only), keyword_only(is_keyword_only) {}
  const char* name;
  bool optional;
  bool keyword_only;
};

// A method's parameter list and its name for messages, "{class}.{method}".
// Usage: constexpr Signature kTree{"PyFs.tree", {"path", {"ident", kOptional}}};
class Signature {
 public:
  constexpr Signature(const char* function, std::initializer_list<Param> params)
      : function_(function), count_(params.size()) {
    if (params.size() > kMaxParams) throw "too many parameters";  // compile-time error
    std::size_t i = 0;
    for (const Param& p : params) params_[i++] = p;
  }

  constexpr const char* function() const { return function_; }
  constexpr std::size_t size() const { return count_; }
  // How many parameters may be given by position.
  constexpr std::size_t positional() const {
    std::size_t n = 0;
    while (n < count_ && !params_[n].keyword_only) ++n;
    return n;
  }
  constexpr const Param& operator[](std::size_t i) const { return params_[i]; }

 private:
  const char* function_;
  std::array<Param, kMaxParams> params_{Param(""), Param(""), Param(""), Param(""),
                                        Param(""), Param(""), Param(""), Param("")};
  std::size_t count_;
};

// The arguments of one call, bound to a Signature: borrowed references, valid
// for the duration of the call; null for an optional parameter left out.
// After a failed bind or conversion a Python exception is set.
//
// The conversions read the argument of parameter `i`. A TypeError raised by a
// conversion becomes TypeError("argument '{name}': {message}") with the
// original as its __cause__; other errors (OverflowError, UnicodeEncodeError)
// pass unchanged. Convert in parameter order and stop at the first failure.
class BoundArgs {
 public:
  // Binds a METH_FASTCALL | METH_KEYWORDS call. Raises TypeError worded as
  // CPython's own for surplus, unknown, repeated or missing arguments.
  bool bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
  // Binds a constructor call (positional tuple, keyword dict or null).
  bool bind(const Signature& signature, PyObject* args, PyObject* kwargs);

  // The bound argument (borrowed), null if an optional one was left out.
  PyObject* operator[](std::size_t i) const { return values_[i]; }

  // Any str (subclasses too) as UTF-8, valid while the argument lives.
  bool text(std::size_t i, std::string_view& out) const;
  // None or absent -> nullopt; otherwise as text().
  bool optional_text(std::size_t i, std::optional<std::string_view>& out) const;
  // bytes only (not bytearray, memoryview or str); valid while the argument lives.
  bool bytes(std::size_t i, std::string_view& out) const;
  // True or False exactly, or NumPy's boolean scalar by its truth value.
  bool boolean(std::size_t i, bool& out) const;
  // An object with __index__, 0..max; OverflowError (not naming the
  // parameter) for negative or larger values.
  bool size(std::size_t i, std::size_t& out, std::size_t max = SIZE_MAX) const;
  // An instance of `type` (a class of this module); `out` points into it.
  template <typename T>
  bool instance(std::size_t i, PyTypeObject* type, T*& out) const;

 private:
  template <typename Convert>
  bool convert(std::size_t i, Convert&& convert) const;

  const Signature* signature_ = nullptr;
  std::array<PyObject*, kMaxParams> values_{};
};

// The conversions on their own, for slots that take arbitrary objects. They
// raise plain TypeError/OverflowError without any "argument" prefix.
bool to_text(PyObject* object, std::string_view& out);
bool to_bytes(PyObject* object, std::string_view& out);
bool to_bool(PyObject* object, bool& out);
bool to_size(PyObject* object, std::size_t& out, std::size_t max = SIZE_MAX);
// Raises TypeError("expected {type}, got {type of object}") unless `object`
// is an instance of `type`.
bool check_instance(PyObject* object, PyTypeObject* type);

// The name of `type` as the interpreter's own messages show it ("int",
// "numpy.ndarray", "PyFs"), or null with an exception set.
OwnedRef type_name(PyTypeObject* type);

// Raises TypeError for a method `method` of `type` called on `self` (null or
// of another type).
void raise_wrong_receiver(PyObject* self, PyTypeObject* type, const char* method);

// Replaces a pending TypeError by TypeError("argument '{name}': {message}")
// whose __cause__ is the original; leaves any other pending error alone.
void rewrap_argument_error(const char* name);

// ---------------------------------------------------------------------------
// Results

inline PyObject* none() {
  return Py_NewRef(Py_None);
}
// UTF-8 text -> str.
PyObject* to_str(std::string_view text);
PyObject* to_bytes_object(std::string_view data);
PyObject* to_int(std::uint64_t value);
// None on success; the mapped exception on error.
PyObject* none_or_raise(const IoResult<void>& result);

// ---------------------------------------------------------------------------
// Classes and instances

// The memory layout of an instance: the object header, then one C++ value.
template <typename T>
struct Instance {
  PyObject_HEAD T value;
};

// The value held by `self`, whose type the caller knows to be right (slots).
template <typename T>
T& payload(PyObject* self) {
  return reinterpret_cast<Instance<T>*>(self)->value;
}

// The value held by the receiver of method `method`, or null with TypeError
// set if `self` is not an instance of `type` (a function fetched from the
// class and called with a foreign first argument).
template <typename T>
T* receiver(PyObject* self, PyTypeObject* type, const char* method) {
  if (self == nullptr || !PyObject_TypeCheck(self, type)) {
    raise_wrong_receiver(self, type, method);
    return nullptr;
  }
  return &payload<T>(self);
}

// Frees an instance without touching its value (which was never built) and
// drops its reference to its heap type.
inline void free_instance(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

// A new instance of `type` whose value is T(args...). On a failed allocation
// the arguments are left to their owners and MemoryError is set; an exception
// from T's constructor frees the object and propagates.
template <typename T, typename... Args>
PyObject* make_instance(PyTypeObject* type, Args&&... args) {
  PyObject* object = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc))(type, 0);
  if (object == nullptr) return nullptr;
  try {
    ::new (static_cast<void*>(&payload<T>(object))) T(std::forward<Args>(args)...);
  } catch (...) {
    free_instance(object);
    throw;
  }
  return object;
}

// The tp_dealloc of a class holding T: destroys the value, then frees the
// object.
template <typename T>
void dealloc_instance(PyObject* self) noexcept {
  payload<T>(self).~T();
  free_instance(self);
}

// Builds a heap type of the common shape: `object` as its only base, not
// subclassable, immutable (class attributes cannot be set from Python), no
// __dict__, no weak references, the bare name `name` as its tp_name (a string
// literal: the type keeps the pointer), __module__ "lumvex", and the stored
// documentation `doc` ("Name(sig)\n--\n\n" + text for a class with a
// constructor, the text alone otherwise). Without a Py_tp_new slot, calling
// the class raises TypeError("No constructor defined"). Returns a new
// reference, or null with an exception set.
//
// `dealloc` is used unless `slots` has a Py_tp_dealloc of its own.
PyTypeObject* build_class(const char* name, const char* doc, std::size_t basicsize,
                          std::initializer_list<PyType_Slot> slots, destructor dealloc);

// As above for a class whose instances hold a T (Instance<T>), deallocated
// by dealloc_instance<T> unless `slots` has a Py_tp_dealloc.
template <typename T>
PyTypeObject* build_class(const char* name, const char* doc,
                          std::initializer_list<PyType_Slot> slots) {
  return build_class(name, doc, sizeof(Instance<T>), slots, &dealloc_instance<T>);
}

// The type that `build` makes, built on first use and kept for the life of
// the process (null, with an exception set, while building fails). Every
// class's accessor is one of these.
template <PyTypeObject* (*build)()>
PyTypeObject* built_once() {
  static PyTypeObject* type = nullptr;
  if (type == nullptr) type = build();
  return type;
}

// Binds `value` (borrowed; null means a failed creation, whose exception is
// left set) as the class attribute `name` of a type built by build_class,
// whose attributes cannot be set from Python. Only while the class is built.
bool add_class_attribute(PyTypeObject* type, const char* name, PyObject* value);
// Adds the read-only attributes of `defs` (a static array ending in an empty
// entry) to a type built by build_class, while it is built.
bool add_getters(PyTypeObject* type, PyGetSetDef* defs);

// An optional count option: None (or absent) leaves `out` empty; an int (not
// a bool) of at least `minimum` is stored. Otherwise TypeError with
// "<name> <type_text>" or ValueError with "<name> <range_text>".
bool optional_count(const char* name, PyObject* object, std::uint64_t minimum,
                    const char* type_text, const char* range_text,
                    std::optional<std::uint64_t>& out);

// Method table entries (the casts that the C API needs, in one place).
// `doc` is the stored form "name($self, ...)\n--\n\ntext".
using FastcallMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
using NoargsMethod = PyObject* (*)(PyObject*, PyObject*);
inline PyMethodDef fastcall_method(const char* name, FastcallMethod method, const char* doc) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method)),
          METH_FASTCALL | METH_KEYWORDS, doc};
}
inline PyMethodDef noargs_method(const char* name, NoargsMethod method, const char* doc) {
  return {name, method, METH_NOARGS, doc};
}
inline constexpr PyMethodDef kMethodsEnd = {nullptr, nullptr, 0, nullptr};

// ---------------------------------------------------------------------------
// Resources (file handles, sessions)

// __enter__ (METH_NOARGS) of a class that holds something to close: the
// object itself. Its __exit__ closes it and returns None, so an exception
// raised in the block propagates.
PyObject* enter_self(PyObject* self, PyObject*);

// For the tp_dealloc of such a class, inside guarded_dealloc, when the
// object is destroyed while still open: ResourceWarning "unclosed
// <lumvex.{type} object at {address}>", as the interpreter's own files warn.
// The dying object is not handed to the warnings machinery, which could keep
// a reference to it. A warning that the filters turn into an error is left
// set (guarded_dealloc reports it).
void warn_unclosed(PyObject* self);

// ---------------------------------------------------------------------------
// Locks

// Gives up the interpreter lock for its lifetime, so that other Python
// threads run while this one blocks (on a pipe, on a mutex). Nothing inside
// may touch Python objects.
//
// Taking the lock back once the interpreter has begun to shut down ends the
// calling (non-main) thread by a forced stack unwinding; the destructor lets
// it pass, and guarded() lets it through to the thread's end.
class AllowThreads {
 public:
  AllowThreads() noexcept : state_(PyEval_SaveThread()) {}
  ~AllowThreads() noexcept(false) { PyEval_RestoreThread(state_); }
  AllowThreads(const AllowThreads&) = delete;
  AllowThreads& operator=(const AllowThreads&) = delete;

 private:
  PyThreadState* state_;
};

// A value behind a mutex that is poisoned when a call fails while holding it:
// once an internal error (any exception but a failed allocation, which
// becomes MemoryError and leaves the value intact) has escaped from
// with_lock, every later with_lock throws InternalError. Callers hold the
// interpreter lock; if the mutex is busy it is waited for with the
// interpreter lock released, so that a holder that has given it up can
// finish.
template <typename T>
class PoisonMutex {
 public:
  template <typename... Args>
  explicit PoisonMutex(Args&&... args) : value_(std::forward<Args>(args)...) {}

  // Runs fn(T&) with the mutex held and returns its result.
  template <typename F>
  decltype(auto) with_lock(F&& fn) {
    if (!mutex_.try_lock()) {
      AllowThreads unlocked;
      mutex_.lock();
    }
    MutexLock held(mutex_, kAdoptLock);
    poison_.check(kPoisoned);
    return poison_.guard(fn, value_);
  }

  // The value without locking: only when nothing else can use it (tp_dealloc).
  T& unlocked() NO_THREAD_SAFETY_ANALYSIS { return value_; }

  static constexpr const char* kPoisoned = "lock poisoned by an earlier failure";

 private:
  Mutex mutex_;
  Poison poison_;
  T value_ GUARDED_BY(mutex_);
};

// ---------------------------------------------------------------------------
// Methods from _impl functions
//
// Each method of a class is written as one function that holds only its
// logic, taking its receiver's payload and its converted arguments and
// returning the result object (or null with an exception set) or an
// IoResult<void> (None, or the mapped error):
//
//   constexpr Signature kMkdir{"PyFs.mkdir", {"path"}};
//   IoResult<void> fs_mkdir_impl(PyFsData& fs, std::string_view path) {
//     return fs.fs->mkdir(path);
//   }
//   ... method<kMkdir, &fs_mkdir_impl>(kMkdirDoc) in the method table
//
// and the adapter does the rest once: the call guard, the receiver check,
// binding the arguments to the signature and converting each by the type of
// its parameter:
//   std::string_view                 str, as UTF-8
//   std::optional<std::string_view>  str, or None or left out
//   Bytes                            bytes only
//   bool                             True or False (or NumPy's bool)
//   Size<max> (std::size_t: Size<>)  an integer 0..max
//   T& (a class's payload)           an instance of that class
//   Any                              any object (borrowed), not converted
// A class's payload type names its class through class_type<T>().

template <typename T>
PyTypeObject* class_type();

struct Bytes {
  std::string_view data;
};

template <std::size_t kMax = SIZE_MAX>
struct Size {
  std::size_t value = 0;
};

struct Any {
  PyObject* object = nullptr;
};

namespace detail {

template <typename T>
struct Arg;

template <>
struct Arg<std::string_view> {
  using Storage = std::string_view;
  static bool convert(const BoundArgs& a, std::size_t i, Storage& s) { return a.text(i, s); }
  static std::string_view get(Storage& s) { return s; }
};
template <>
struct Arg<std::optional<std::string_view>> {
  using Storage = std::optional<std::string_view>;
  static bool convert(const BoundArgs& a, std::size_t i, Storage& s) {
    return a.optional_text(i, s);
  }
  static Storage get(Storage& s) { return s; }
};
template <>
struct Arg<Bytes> {
  using Storage = std::string_view;
  static bool convert(const BoundArgs& a, std::size_t i, Storage& s) { return a.bytes(i, s); }
  static Bytes get(Storage& s) { return Bytes{s}; }
};
template <>
struct Arg<bool> {
  using Storage = bool;
  static bool convert(const BoundArgs& a, std::size_t i, Storage& s) { return a.boolean(i, s); }
  static bool get(Storage& s) { return s; }
};
template <std::size_t kMax>
struct Arg<Size<kMax>> {
  using Storage = std::size_t;
  static bool convert(const BoundArgs& a, std::size_t i, Storage& s) { return a.size(i, s, kMax); }
  static Size<kMax> get(Storage& s) { return Size<kMax>{s}; }
};
template <>
struct Arg<Any> {
  using Storage = PyObject*;
  static bool convert(const BoundArgs& a, std::size_t i, Storage& s) {
    s = a[i];
    return true;
  }
  static Any get(Storage& s) { return Any{s}; }
};
template <typename T>
struct Arg<T&> {
  using Storage = T*;
  static bool convert(const BoundArgs& a, std::size_t i, Storage& s) {
    return a.instance(i, class_type<T>(), s);
  }
  static T& get(Storage& s) { return *s; }
};

inline PyObject* to_result(PyObject* object) {
  return object;
}
inline PyObject* to_result(const IoResult<void>& result) {
  return none_or_raise(result);
}

// The name after the class's in "{class}.{method}".
constexpr const char* method_name(const Signature& signature) {
  const char* name = signature.function();
  for (const char* c = name; *c != '\0'; ++c) {
    if (*c == '.') return c + 1;
  }
  return name;
}

template <typename F>
struct Impl;
template <typename R, typename Self, typename... Params>
struct Impl<R (*)(Self&, Params...)> {
  using Receiver = Self;
  static constexpr std::size_t kArity = sizeof...(Params);

  // Converts the bound arguments in parameter order, stopping at the first
  // failure, and calls `fn` with them.
  template <std::size_t... I>
  static PyObject* call(R (*fn)(Self&, Params...), Self& self, const BoundArgs& bound,
                        std::index_sequence<I...>) {
    std::tuple<typename Arg<Params>::Storage...> values;
    if (!(Arg<Params>::convert(bound, I, std::get<I>(values)) && ...)) return nullptr;
    return to_result(fn(self, Arg<Params>::get(std::get<I>(values))...));
  }
  static PyObject* call(R (*fn)(Self&, Params...), Self& self, const BoundArgs& bound) {
    return call(fn, self, bound, std::index_sequence_for<Params...>{});
  }
};

template <typename R, typename... Params>
struct Impl<R (*)(PyTypeObject*, Params...)> {
  static constexpr std::size_t kArity = sizeof...(Params);

  template <std::size_t... I>
  static PyObject* call(R (*fn)(PyTypeObject*, Params...), PyTypeObject* type,
                        const BoundArgs& bound, std::index_sequence<I...>) {
    std::tuple<typename Arg<Params>::Storage...> values;
    if (!(Arg<Params>::convert(bound, I, std::get<I>(values)) && ...)) return nullptr;
    return to_result(fn(type, Arg<Params>::get(std::get<I>(values))...));
  }
};

template <const Signature& kSignature, auto kImpl>
PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  using Traits = Impl<decltype(kImpl)>;
  using Receiver = typename Traits::Receiver;
  static_assert(Traits::kArity == kSignature.size(), "one parameter for each signature entry");
  return guarded([&]() -> PyObject* {
    Receiver* data = receiver<Receiver>(self, class_type<Receiver>(), method_name(kSignature));
    BoundArgs bound;
    if (data == nullptr || !bound.bind(kSignature, args, nargs, kwnames)) return nullptr;
    return Traits::call(kImpl, *data, bound);
  });
}

template <const Signature& kSignature, auto kImpl>
PyObject* noargs(PyObject* self, PyObject*) {
  using Traits = Impl<decltype(kImpl)>;
  using Receiver = typename Traits::Receiver;
  static_assert(Traits::kArity == 0 && kSignature.size() == 0);
  return guarded([&]() -> PyObject* {
    Receiver* data = receiver<Receiver>(self, class_type<Receiver>(), method_name(kSignature));
    if (data == nullptr) return nullptr;
    return to_result(kImpl(*data));
  });
}

}  // namespace detail

// The method table entry of `kImpl`, named after the signature's method:
// METH_NOARGS without parameters, METH_FASTCALL | METH_KEYWORDS otherwise.
template <const Signature& kSignature, auto kImpl>
PyMethodDef method(const char* doc) {
  if constexpr (kSignature.size() == 0) {
    return noargs_method(detail::method_name(kSignature), &detail::noargs<kSignature, kImpl>, doc);
  } else {
    return fastcall_method(detail::method_name(kSignature), &detail::fastcall<kSignature, kImpl>,
                           doc);
  }
}

// The tp_new slot of `kImpl`, which takes the class and the converted
// arguments.
template <const Signature& kSignature, auto kImpl>
PyObject* constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  using Traits = detail::Impl<decltype(kImpl)>;
  static_assert(Traits::kArity == kSignature.size(), "one parameter for each signature entry");
  return guarded([&]() -> PyObject* {
    BoundArgs bound;
    if (!bound.bind(kSignature, args, kwargs)) return nullptr;
    return Traits::call(kImpl, type, bound, std::make_index_sequence<Traits::kArity>{});
  });
}

// The slot entry of a constructor.
template <const Signature& kSignature, auto kImpl>
PyType_Slot constructor_slot() {
  return {Py_tp_new, reinterpret_cast<void*>(&constructor<kSignature, kImpl>)};
}

// ---------------------------------------------------------------------------
// Template definitions

template <typename Convert>
bool BoundArgs::convert(std::size_t i, Convert&& convert) const {
  if (convert(values_[i])) return true;
  rewrap_argument_error((*signature_)[i].name);
  return false;
}

template <typename T>
bool BoundArgs::instance(std::size_t i, PyTypeObject* type, T*& out) const {
  return convert(i, [&](PyObject* object) {
    if (!check_instance(object, type)) return false;
    out = &payload<T>(object);
    return true;
  });
}

}  // namespace lumvex::py
