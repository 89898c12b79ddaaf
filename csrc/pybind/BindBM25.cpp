// Python class BM25: conversion and exception translation only; the model
// lives in bm25/BM25.hpp. std::runtime_error reaches Python as RuntimeError,
// std::invalid_argument (a malformed number in load) as ValueError.
#include <pybind11/stl.h>

#include <memory>
#include <utility>

#include "bm25/BM25.hpp"
#include "pybind/Bindings.hpp"

namespace py = pybind11;

namespace mira::typing::text::pybind {
namespace {

using Strings = std::vector<std::string>;
using Ids = std::vector<int64_t>;

// Binds a member through the holder: pybind11 then refuses an object whose
// __init__ never ran (BM25.__new__(BM25)) instead of passing unconstructed
// storage to the member.
template <class R, class... Args>
auto Held(R (BM25::*member)(Args...)) {
  return [member](const std::shared_ptr<BM25>& self, Args... args) -> R {
    return ((*self).*member)(std::forward<Args>(args)...);
  };
}
template <class R, class... Args>
auto Held(R (BM25::*member)(Args...) const) {
  return [member](const std::shared_ptr<BM25>& self, Args... args) -> R {
    return ((*self).*member)(std::forward<Args>(args)...);
  };
}

const char kTrainDoc[] =
    "Add one document (str tokens or int token ids) to the corpus statistics.";
const char kDocumentDoc[] =
    "Saturated, length-normalised term frequency of each distinct token.";
const char kQueryDoc[] =
    "Inverse document frequency of each distinct token, normalised to sum 1.";

// Pickled state: (b, k1, doc_count, doc_length_total, doc_length_average,
// {token bytes: count}). Tokens travel as bytes so any stored key survives.
py::tuple GetState(const std::shared_ptr<BM25>& model) {
  const BM25::State state = model->state();
  py::dict table;
  for (const auto& [token, count] : state.doc_token_frequency) table[py::bytes(token)] = count;
  return py::make_tuple(state.b, state.k1, state.doc_count, state.doc_length_total,
                        state.doc_length_average, table);
}

std::shared_ptr<BM25> SetState(const py::tuple& saved) {
  if (saved.size() != 6) throw py::value_error("invalid BM25 pickle state");
  BM25::State state;
  state.b = saved[0].cast<double>();
  state.k1 = saved[1].cast<double>();
  state.doc_count = saved[2].cast<BM25::Count>();
  state.doc_length_total = saved[3].cast<BM25::Count>();
  state.doc_length_average = saved[4].cast<double>();
  for (const auto& [token, count] : saved[5].cast<py::dict>()) {
    state.doc_token_frequency[token.cast<std::string>()] = count.cast<BM25::Count>();
  }
  auto model = std::make_shared<BM25>(state.b, state.k1);
  model->set_state(std::move(state));
  return model;
}

}  // namespace

py::object BindBM25Impl(py::module_& m) {
  py::class_<BM25, std::shared_ptr<BM25>> cls(
      m, "BM25",
      "BM25 sparse encoder: train it one tokenised document at a time, then encode\n"
      "documents and queries as {token: weight} dictionaries.");
  cls.def(py::init<double, double>(), py::arg("b") = 0.75, py::arg("k1") = 1.2,
          "b: length normalisation, k1: term-frequency saturation.")
      .def("train", Held(py::overload_cast<const Strings&>(&BM25::train)), kTrainDoc)
      .def("train", Held(py::overload_cast<const Ids&>(&BM25::train)), kTrainDoc)
      .def("load", Held(&BM25::load),
           "Restore the model from the JSON text of a model file (the text, not a path);\n"
           "on failure the model is left as it was.")
      .def("dump", Held(&BM25::dump),
           "Write the model as JSON to the file at this path, replacing it only once\n"
           "the new file is complete.")
      .def("encode_document",
           Held(py::overload_cast<const Strings&>(&BM25::encode_document, py::const_)), kDocumentDoc)
      .def("encode_document",
           Held(py::overload_cast<const Ids&>(&BM25::encode_document, py::const_)), kDocumentDoc)
      .def("encode_query",
           Held(py::overload_cast<const Strings&>(&BM25::encode_query, py::const_)), kQueryDoc)
      .def("encode_query",
           Held(py::overload_cast<const Ids&>(&BM25::encode_query, py::const_)), kQueryDoc)
      .def(py::pickle(&GetState, &SetState));
  return std::move(cls);
}

void BindBM25(py::module_& m) { BindBM25Impl(m); }

}  // namespace mira::typing::text::pybind
