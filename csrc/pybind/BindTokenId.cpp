// Module functions token_id and id_vector: conversion and error translation
// only; the hash and the summing live in bm25/TokenId.hpp.
#include <Python.h>

#include <string>
#include <string_view>
#include <vector>

#include "bm25/TokenId.hpp"
#include "pybind/Bindings.hpp"
#include "pybind/Typed.hpp"

namespace py = pybind11;

namespace mira::typing::text::pybind {
namespace {

std::string_view Utf8(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) throw py::error_already_set();  // lone surrogates
  return {data, static_cast<size_t>(size)};
}

uint32_t KeyId(PyObject* key) {
  if (PyUnicode_Check(key)) return TokenId(Utf8(key));
  // bool is an int subclass, but True as dimension 1 would be a silent surprise.
  if (PyLong_Check(key) && !PyBool_Check(key)) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(key, &overflow);
    if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow != 0 || value < 0 || value > static_cast<long long>(kMaxTokenId)) {
      throw py::value_error("token id " + py::repr(key).cast<std::string>() +
                            " is outside the sparse index range 0.." + std::to_string(kMaxTokenId));
    }
    return static_cast<uint32_t>(value);
  }
  throw py::type_error("a token must be a str or an int, not " +
                       std::string(Py_TYPE(key)->tp_name));
}

py::dict IdVector(const py::dict& vector) {
  // Reading a weight can run Python code (__float__).
  const py::list items = DictItems(vector);
  std::vector<IdWeight> entries;
  entries.reserve(items.size());
  for (const py::handle item : items) {
    PyObject* const pair = item.ptr();
    const double weight = PyFloat_AsDouble(PyTuple_GET_ITEM(pair, 1));
    if (weight == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    entries.emplace_back(KeyId(PyTuple_GET_ITEM(pair, 0)), weight);
  }
  py::dict out;
  for (const IdWeight& e : SumById(entries)) {
    out[py::int_(e.first)] = py::float_(e.second);
  }
  return out;
}

struct TokenVectorArg {
  static constexpr auto name = py::detail::const_name("Dict[Union[str, int], float]");
  static bool Accepts(py::handle src) { return PyDict_Check(src.ptr()); }
};
struct IdVectorResult {
  static constexpr auto name = py::detail::const_name("Dict[int, float]");
  static bool Accepts(py::handle) { return false; }
};

}  // namespace

void BindTokenId(py::module_& m) {
  m.def(
      "token_id", [](const py::str& token) { return TokenId(Utf8(token.ptr())); }, py::arg("token"),
      "The token's stable 32-bit id: MurmurHash3 x86_32 (seed 0) of its UTF-8\n"
      "bytes, modulo 2**32 - 1 (the value 2**32 - 1 is reserved by sparse indexes).\n"
      "The same on every machine, Python version and run.");
  m.def(
      "id_vector",
      [](const Typed<TokenVectorArg>& vector) {
        return Typed<IdVectorResult>{IdVector(py::reinterpret_borrow<py::dict>(vector.object))};
      },
      py::arg("vector"),
      "Convert a sparse vector keyed by tokens into one keyed by token ids, in\n"
      "ascending id order. str keys become token_id(key); int keys are kept and\n"
      "must lie in 0..2**32 - 2 (ValueError otherwise). The weights of keys that\n"
      "share an id are added, never overwritten.");
}

}  // namespace mira::typing::text::pybind
