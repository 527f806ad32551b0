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

}  // namespace

template <>
PyTypeObject* class_type<TermData>() {
  return term_type();
}

namespace {

// PyTerm(fs): a terminal in the root directory of fs's filesystem. It shares
// that very filesystem and keeps it alive after the PyFs has gone.
PyObject* term_new_impl(PyTypeObject* type, PyFsData& fs) {
  return make_instance<TermData>(type, fs.fs);
}

// exec(command): the command's output as str, or ValueError(error text).
PyObject* term_exec_impl(TermData& term, std::string_view command) {
  const CommandResult result =
      term.with_lock([&](SimpleTerminal& terminal) { return terminal.run(command); });
  if (!result.ok()) return raise_error(std::string_view(result.text()));
  return to_str(result.text());
}

PyMethodDef kTermMethods[] = {
    method<kExec, &term_exec_impl>(kExecDoc),
    kMethodsEnd,
};

PyTypeObject* build_term_type() {
  return build_class<TermData>("PyTerm", kTermDoc,
                               {
                                   constructor_slot<kNew, &term_new_impl>(),
                                   {Py_tp_methods, kTermMethods},
                               });
}

}  // namespace

PyTypeObject* term_type() {
  return built_once<&build_term_type>();
}

}  // namespace lumvex::py
