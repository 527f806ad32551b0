// PyTerm: a simple terminal, with a current directory of its own, over the
// filesystem of a PyFs.
#include <string>
#include <utility>

#include "pybinding/binding.hpp"
#include "pybinding/classes.hpp"
#include "terminal/terminal.hpp"

namespace lumvex::py {
namespace {

constexpr const char kTermDoc[] =
    "PyTerm(fs)\n--\n\n"
    "\n"
    "A structure representing a simple terminal\n";

constexpr const char kExecDoc[] =
    "exec($self, command)\n--\n\n"
    "\n"
    "Execute a command in the terminal.\n";

constexpr Signature kNew{"PyTerm.__new__", {"fs"}};
constexpr Signature kExec{"PyTerm.exec", {"command"}};

// What a PyTerm holds: one terminal, run one command line at a time.
using TermData = PoisonMutex<SimpleTerminal>;

// PyTerm(fs): a terminal in the root directory of fs's filesystem. It shares
// that very filesystem and keeps it alive after the PyFs has gone.
PyObject* term_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    BoundArgs bound;
    PyFsData* fs = nullptr;
    if (!bound.bind(kNew, args, kwargs) || !bound.instance(0, fs_type(), fs)) return nullptr;
    return make_instance<TermData>(type, fs->fs);
  });
}

// exec(command): the command's output as str, or ValueError(error text).
PyObject* term_exec(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    TermData* term = receiver<TermData>(self, term_type(), "exec");
    BoundArgs bound;
    std::string_view command;
    if (!term || !bound.bind(kExec, args, nargs, kwnames) || !bound.text(0, command)) {
      return nullptr;
    }
    CommandResult result =
        term->with_lock([&](SimpleTerminal& terminal) { return terminal.run(command); });
    if (!result.ok()) return raise_error(std::string_view(result.text()));
    return to_str(result.text());
  });
}

PyMethodDef kTermMethods[] = {
    fastcall_method("exec", &term_exec, kExecDoc),
    kMethodsEnd,
};

PyTypeObject* build_term_type() {
  return build_class<TermData>("PyTerm", kTermDoc,
                               {
                                   {Py_tp_new, reinterpret_cast<void*>(&term_new)},
                                   {Py_tp_methods, kTermMethods},
                               });
}

}  // namespace

PyTypeObject* term_type() {
  return built_once<&build_term_type>();
}

}  // namespace lumvex::py
