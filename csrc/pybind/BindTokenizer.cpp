// Python class Jieba.
#include "pybind/Bindings.hpp"

namespace mira::typing::text::pybind {

void BindJieba(pybind11::module_& /*m*/) {}

void BindTokenizder(pybind11::module_& m) { BindJieba(m); }

}  // namespace mira::typing::text::pybind
