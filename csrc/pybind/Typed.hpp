// Python objects that a binding takes or gives back as they are, declared
// with the type their signature should show: pybind11 renders py::object,
// py::list and py::dict as a bare "object", "list" and "dict", which tells a
// reader (and the stubs, generated from these signatures) nothing.
//
//   struct Texts {
//     static constexpr auto name = pybind11::detail::const_name("Iterable[str]");
//     static bool Accepts(pybind11::handle) { return true; }
//   };
//   void Train(const Typed<Texts>& texts);  // texts.object is the argument
#pragma once

#include <pybind11/pybind11.h>

namespace mira::typing::text::pybind {

// Tag supplies `name` (the rendered type) and `Accepts(handle)`, which
// decides overload matching; the method checks anything finer itself.
template <typename Tag>
struct Typed {
  pybind11::object object;
};

}  // namespace mira::typing::text::pybind

namespace pybind11::detail {

template <typename Tag>
struct type_caster<mira::typing::text::pybind::Typed<Tag>> {
  PYBIND11_TYPE_CASTER(mira::typing::text::pybind::Typed<Tag>, Tag::name);

  bool load(handle src, bool /*convert*/) {
    if (!Tag::Accepts(src)) return false;
    value.object = reinterpret_borrow<object>(src);
    return true;
  }

  static handle cast(const mira::typing::text::pybind::Typed<Tag>& typed, return_value_policy,
                     handle) {
    return typed.object.inc_ref();
  }
};

}  // namespace pybind11::detail
