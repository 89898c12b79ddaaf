// Module entry point. PYBIND11_MODULE supplies the interpreter version check
// (ImportError "Python version mismatch: ...") and turns any exception that
// escapes registration into an ImportError.
#include "pybind/Bindings.hpp"

PYBIND11_MODULE(pymiratext, m) {
  // The extension sits inside the package of the same name; the import system
  // names it "pymiratext.pymiratext", but the classes belong to the public
  // module "pymiratext" (which re-exports them), so that is the name they carry.
  m.attr("__name__") = "pymiratext";
  mira::typing::text::pybind::BindBM25(m);
  mira::typing::text::pybind::BindTokenizder(m);
  mira::typing::text::pybind::BindTextEncoder(m);
  mira::typing::text::pybind::BindTokenId(m);
}
