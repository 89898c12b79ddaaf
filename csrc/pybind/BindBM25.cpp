// Python class BM25: conversion and exception translation only; the model
// lives in bm25/BM25.hpp. std::runtime_error reaches Python as RuntimeError,
// std::invalid_argument (a malformed number in load) as ValueError.
#include <pybind11/stl.h>

#include <memory>

#include "bm25/BM25.hpp"
#include "pybind/Bindings.hpp"

namespace py = pybind11;

namespace mira::typing::text::pybind {
namespace {

using Strings = std::vector<std::string>;
using Ids = std::vector<int64_t>;

}  // namespace

py::object BindBM25Impl(py::module_& m) {
  py::class_<BM25, std::shared_ptr<BM25>> cls(m, "BM25");
  cls.def(py::init<double, double>(), py::arg("b") = 0.75, py::arg("k1") = 1.2)
      .def("train", py::overload_cast<const Strings&>(&BM25::train))
      .def("train", py::overload_cast<const Ids&>(&BM25::train))
      .def("load", &BM25::load)
      .def("dump", &BM25::dump)
      .def("encode_document", py::overload_cast<const Strings&>(&BM25::encode_document, py::const_))
      .def("encode_document", py::overload_cast<const Ids&>(&BM25::encode_document, py::const_))
      .def("encode_query", py::overload_cast<const Strings&>(&BM25::encode_query, py::const_))
      .def("encode_query", py::overload_cast<const Ids&>(&BM25::encode_query, py::const_));
  return std::move(cls);
}

void BindBM25(py::module_& m) { BindBM25Impl(m); }

}  // namespace mira::typing::text::pybind
