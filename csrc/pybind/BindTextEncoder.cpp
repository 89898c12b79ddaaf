// Python class TextEncoder: conversion, lock handling and exception
// translation only; the pipeline lives in encoder/TextEncoder.hpp.
//
// Texts are converted while the interpreter lock is held; cutting runs
// without it. The model is read or written only with the lock held, so no
// Python thread can train or load it meanwhile through BM25's methods.
#include <pybind11/stl.h>

#include <functional>
#include <future>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bm25/BM25.hpp"
#include "common/Parallel.hpp"
#include "encoder/TextEncoder.hpp"
#include "pybind/Bindings.hpp"
#include "tokenizer/jieba/Jieba.hpp"

namespace py = pybind11;

namespace mira::typing::text::pybind {
namespace {

using jieba::Jieba;
using EncoderRef = std::shared_ptr<TextEncoder>;
using Texts = std::vector<std::string>;

// Texts are converted and cut this much at a time, so that streaming
// training stays within bounded memory whatever the corpus length, and the
// work under the lock overlaps the cutting of the next chunk; large enough to
// keep the threads busy.
constexpr size_t kChunkTexts = 1024;
constexpr size_t kChunkBytes = size_t{1} << 20;

// The UTF-8 text of a str item; anything else is a TypeError.
void AppendText(py::handle item, Texts& out) {
  if (!PyUnicode_Check(item.ptr())) {
    throw py::type_error(std::string("texts must hold str, not ") + Py_TYPE(item.ptr())->tp_name);
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(item.ptr(), &size);
  if (data == nullptr) throw py::error_already_set();  // lone surrogates
  out.emplace_back(data, static_cast<size_t>(size));
}

py::iterator IterTexts(py::handle texts) {
  // A str is iterable, but its characters are no list of texts.
  if (PyUnicode_Check(texts.ptr())) {
    throw py::type_error("texts must be an iterable of str, not a str");
  }
  return py::iter(texts);
}

// Pulls the next bounded chunk; false when the iterable is exhausted. Runs
// the pending signal handlers first, so that Ctrl-C stops a long run within
// about a chunk's work, before the model changes.
bool NextChunk(py::iterator& it, Texts& chunk) {
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  chunk.clear();
  size_t bytes = 0;
  while (chunk.size() < kChunkTexts && bytes < kChunkBytes && it != py::iterator::sentinel()) {
    AppendText(*it, chunk);
    bytes += chunk.back().size();
    ++it;
  }
  return !chunk.empty();
}

// Appends one dict per token list, keyed by the token at each weight's
// first position, in the weights' (sorted) order.
void AppendVectors(const std::vector<TextEncoder::TokenList>& tokens,
                   const std::vector<BM25::Weights>& weights, py::list& out) {
  for (size_t i = 0; i < weights.size(); ++i) {
    py::dict vector;
    for (const BM25::Weight& weight : weights[i]) {
      const std::string& token = tokens[i][weight.first];
      py::object key = py::reinterpret_steal<py::object>(
          PyUnicode_DecodeUTF8(token.data(), static_cast<Py_ssize_t>(token.size()), nullptr));
      if (!key) throw py::error_already_set();
      py::object value = py::reinterpret_steal<py::object>(PyFloat_FromDouble(weight.value));
      if (!value) throw py::error_already_set();
      if (PyDict_SetItem(vector.ptr(), key.ptr(), value.ptr()) != 0) throw py::error_already_set();
    }
    out.append(std::move(vector));
  }
}

using Weigh = std::vector<BM25::Weights> (TextEncoder::*)(
    const std::vector<TextEncoder::TokenList>&, unsigned) const;

// Chunk by chunk: while the workers cut one chunk without the lock, the
// calling thread converts the next one and turns the previous one into
// dicts. The model is read with the lock held and no BM25 batch method
// changing it, so that nothing trains or loads it meanwhile.
py::list EncodeTexts(const EncoderRef& self, py::handle texts, int threads, Weigh weigh) {
  const unsigned workers = ResolveThreads(threads);
  py::iterator it = IterTexts(texts);
  const TextEncoder& encoder = *self;
  py::list out;
  Texts current;
  Texts next;
  std::vector<TextEncoder::TokenList> done;  // cut, not yet weighed
  bool more = NextChunk(it, current);
  while (more) {
    std::vector<TextEncoder::TokenList> cut;
    if (workers == 1) {
      {
        py::gil_scoped_release release;
        cut = encoder.TokensMany(current, workers);
      }
      AwaitBM25Reading(*encoder.model());
      AppendVectors(cut, (encoder.*weigh)(cut, workers), out);
      more = NextChunk(it, current);
      continue;
    }
    // Declared after `cut` and `current`, so destroyed (waiting for the
    // task) before them, also when the code below throws.
    std::future<void> task = std::async(std::launch::async, [&encoder, &cut, &current, workers] {
      cut = encoder.TokensMany(current, workers);
    });
    more = NextChunk(it, next);
    if (!done.empty()) {
      AwaitBM25Reading(*encoder.model());
      AppendVectors(done, (encoder.*weigh)(done, workers), out);
    }
    {
      py::gil_scoped_release release;
      task.get();
    }
    done = std::move(cut);
    std::swap(current, next);
  }
  if (!done.empty()) {
    AwaitBM25Reading(*encoder.model());
    AppendVectors(done, (encoder.*weigh)(done, workers), out);
  }
  return out;
}

// Trains a private model chunk by chunk and merges it into the encoder's
// model at the end: a failure anywhere (a bad item, an exception from the
// iterable, an overflow) leaves the model as it was, and the result equals
// training each text in turn. With more than one thread, the next chunk is
// read from the iterable (which needs the lock) while the current one is
// cut and trained.
void Train(const EncoderRef& self, py::handle texts, int threads) {
  const unsigned workers = ResolveThreads(threads);
  py::iterator it = IterTexts(texts);
  BM25& model = *self->model();
  BM25 added(model.b(), model.k1());
  size_t documents = 0;
  const TextEncoder& encoder = *self;
  auto train_chunk = [&encoder, &added, &documents, workers](const Texts& chunk) {
    documents += TextEncoder::TrainTokens(added, encoder.TokensMany(chunk, workers));
  };
  Texts current;
  Texts next;
  bool more = NextChunk(it, current);
  while (more) {
    if (workers == 1) {
      {
        py::gil_scoped_release release;
        train_chunk(current);
      }
      more = NextChunk(it, current);
      continue;
    }
    // The future's destructor waits for the task, also when NextChunk
    // throws, so the task never outlives the chunk and model it uses.
    std::future<void> task = std::async(std::launch::async, train_chunk, std::cref(current));
    more = NextChunk(it, next);
    {
      py::gil_scoped_release release;
      task.get();
    }
    std::swap(current, next);
  }
  if (documents == 0) return;
  AwaitBM25Writing(model);
  model.merge(added);
}

const char kClassDoc[] =
    "The whole text-to-vector path: segment with a Jieba, keep the words that hold a\n"
    "letter or a digit, drop the Jieba's stop words, then train or encode a BM25 model.";

}  // namespace

void BindTextEncoder(py::module_& m) {
  py::class_<TextEncoder, EncoderRef>(m, "TextEncoder", kClassDoc)
      .def(py::init([](std::shared_ptr<Jieba> jieba, std::shared_ptr<BM25> model, bool search,
                       bool stop_words) {
             if (!model) model = std::make_shared<BM25>();
             return std::make_shared<TextEncoder>(std::move(jieba), std::move(model),
                                                  TextEncoder::Options{search, stop_words});
           }),
           py::arg("jieba").none(false), py::arg("model") = py::none(), py::arg("search") = false,
           py::arg("stop_words") = true,
           // The Python objects stay alive with the encoder, so `model` gives
           // back the very object passed in.
           py::keep_alive<1, 2>(), py::keep_alive<1, 3>(),
           "jieba: the segmenter; model: the BM25 to train or encode with (a new BM25()\n"
           "when None); search: segment with cut_for_search; stop_words: drop the\n"
           "Jieba's stop words (False keeps them).")
      .def_property_readonly(
          "jieba",
          [](const EncoderRef& self) { return std::const_pointer_cast<Jieba>(self->jieba()); },
          "The segmenter.")
      .def_property_readonly(
          "model", [](const EncoderRef& self) { return self->model(); },
          "The BM25 model that train fills and encode_* read.")
      .def_property_readonly(
          "search", [](const EncoderRef& self) { return self->options().search; },
          "Whether texts are segmented with cut_for_search.")
      .def_property_readonly(
          "stop_words", [](const EncoderRef& self) { return self->options().stop_words; },
          "Whether the Jieba's stop words are dropped.")
      .def(
          "tokens",
          [](const EncoderRef& self, const std::string& text) {
            TextEncoder::TokenList tokens;
            self->Tokens(text, tokens);
            return tokens;
          },
          py::arg("text"), py::call_guard<py::gil_scoped_release>(),
          "The index terms of a text: its words that hold a letter or a digit, stop\n"
          "words dropped, in text order.")
      .def("train", &Train, py::arg("texts"), py::arg("threads") = 0,
           "Train the model on each text in order, one document a text; texts without\n"
           "tokens are skipped. Reads the iterable in bounded chunks, so memory stays\n"
           "bounded for any corpus length. threads: 0 all hardware threads, 1 the\n"
           "calling thread; the model never depends on it.")
      .def(
          "encode_documents",
          [](const EncoderRef& self, py::handle texts, int threads) {
            return EncodeTexts(self, texts, threads, &TextEncoder::WeighDocuments);
          },
          py::arg("texts"), py::arg("threads") = 0,
          "BM25 document vector of each text, in order. A text without tokens gives {};\n"
          "any other text on an untrained model raises RuntimeError.")
      .def(
          "encode_queries",
          [](const EncoderRef& self, py::handle texts, int threads) {
            return EncodeTexts(self, texts, threads, &TextEncoder::WeighQueries);
          },
          py::arg("texts"), py::arg("threads") = 0,
          "BM25 query vector of each text, in order; the same rules as encode_documents.")
      // Pickled by its Jieba, its model and its options: unpickling calls the
      // constructor again, which keeps the restored objects alive.
      .def("__reduce__", [](const py::object& self) {
        return py::make_tuple(py::type::of(self),
                              py::make_tuple(self.attr("jieba"), self.attr("model"),
                                             self.attr("search"), self.attr("stop_words")));
      });
}

}  // namespace mira::typing::text::pybind
