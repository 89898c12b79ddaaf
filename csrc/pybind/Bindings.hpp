// Registration functions of the Python module, one per class.
#pragma once

#include <pybind11/pybind11.h>

namespace mira::typing::text::pybind {

// Registers class BM25 on the module.
void BindBM25(pybind11::module_& m);
pybind11::object BindBM25Impl(pybind11::module_& m);

// Registers the segmenter classes on the module.
void BindTokenizder(pybind11::module_& m);
void BindJieba(pybind11::module_& m);

// Registers class TextEncoder; needs BM25 and Jieba registered first.
void BindTextEncoder(pybind11::module_& m);

// Registers the module functions token_id and id_vector.
void BindTokenId(pybind11::module_& m);

}  // namespace mira::typing::text::pybind
