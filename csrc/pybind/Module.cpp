// Module entry point. PYBIND11_MODULE supplies the interpreter version check
// (ImportError "Python version mismatch: ...") and turns any exception that
// escapes registration into an ImportError.
#include "pybind/Bindings.hpp"

// The build passes the package version (src/pymiratext/_version.py); the
// package compares it with its own on import.
#ifndef MIRA_VERSION
#error "MIRA_VERSION must be defined by the build"
#endif

PYBIND11_MODULE(pymiratext, m) {
  // The extension sits inside the package of the same name; the import system
  // names it "pymiratext.pymiratext", but the classes belong to the public
  // module "pymiratext" (which re-exports them), so that is the name they carry.
  m.attr("__name__") = "pymiratext";
  m.attr("__version__") = MIRA_VERSION;
  mira::typing::text::pybind::BindBM25(m);
  mira::typing::text::pybind::BindTokenizder(m);
  mira::typing::text::pybind::BindTextEncoder(m);
  mira::typing::text::pybind::BindTokenId(m);
}
