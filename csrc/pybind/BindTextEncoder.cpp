// Python class TextEncoder: conversion, lock handling and exception
// translation only; the pipeline lives in encoder/TextEncoder.hpp.
//
// Texts are converted while the interpreter lock is held; cutting runs
// without it. The model is read or written only with the lock held, so no
// Python thread can train or load it meanwhile through BM25's methods.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "bm25/BM25.hpp"
#include "bm25/TokenTable.hpp"
#include "bm25/TokenId.hpp"
#include "common/Parallel.hpp"
#include "encoder/ScriptTable.hpp"
#include "encoder/TextEncoder.hpp"
#include "pybind/Bindings.hpp"
#include "pybind/Typed.hpp"
#include "tokenizer/jieba/Jieba.hpp"

namespace py = pybind11;

namespace mira::typing::text::pybind {
namespace {

using jieba::Jieba;
using EncoderRef = std::shared_ptr<TextEncoder>;
using Texts = std::vector<std::string>;

// Any iterable is taken as it is and read lazily; its items are checked
// as they come.
struct TextsArg {
  static constexpr auto name = py::detail::const_name("Iterable[str]");
  static bool Accepts(py::handle) { return true; }
};
struct VectorsResult {
  static constexpr auto name = py::detail::const_name("List[Dict[str, float]]");
  static bool Accepts(py::handle) { return false; }
};
struct OptionsResult {
  static constexpr auto name = py::detail::const_name("Dict[str, Any]");
  static bool Accepts(py::handle) { return false; }
};
using TextIterable = Typed<TextsArg>;
using Vectors = Typed<VectorsResult>;
// A SciPy csr_array, or with format 'numpy' a (data, indices, indptr) tuple.
struct CsrMatrixResult {
  static constexpr auto name = py::detail::const_name("Any");
  static bool Accepts(py::handle) { return false; }
};
using OptionsDict = Typed<OptionsResult>;
using CsrMatrix = Typed<CsrMatrixResult>;

// Texts are converted and cut this much at a time, so that streaming
// training stays within bounded memory whatever the corpus length, and the
// work under the lock overlaps the cutting of the next chunk; large enough to
// keep the threads busy.
constexpr size_t kChunkTexts = 1024;
constexpr size_t kChunkBytes = size_t{1} << 20;
// Training and document rows keep little per text on the calling thread, so
// their chunks may hold more short texts: each chunk starts threads anew.
constexpr size_t kCountChunkTexts = 8192;

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
bool NextChunk(py::iterator& it, Texts& chunk, size_t most_texts = kChunkTexts) {
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  chunk.clear();
  size_t bytes = 0;
  while (chunk.size() < most_texts && bytes < kChunkBytes && it != py::iterator::sentinel()) {
    AppendText(*it, chunk);
    bytes += chunk.back().size();
    ++it;
  }
  return !chunk.empty();
}

// The threads for a call whose first chunk is `first`: a call whose texts
// all came in one small chunk runs on the calling thread.
unsigned WorkersFor(const Texts& first, unsigned workers) {
  if (first.size() >= kChunkTexts) return workers;
  size_t bytes = 0;
  for (const std::string& text : first) bytes += text.size();
  return ThreadsForText(workers, bytes);
}

// Appends one dict per token list, keyed by the token at each weight's
// first position, in the weights' (sorted) order.
void AppendVectors(const std::vector<TextEncoder::TokenList>& tokens,
                   const std::vector<BM25::Weights>& weights, py::list& out) {
  // The texts of a chunk share most tokens: each distinct one becomes one str,
  // decoded and hashed once, for every dict that holds it.
  TokenTable known;  // token to 1 + its place in keys
  std::vector<py::object> keys;
  for (size_t i = 0; i < weights.size(); ++i) {
    auto vector = py::reinterpret_steal<py::dict>(
        _PyDict_NewPresized(static_cast<Py_ssize_t>(weights[i].size())));
    if (!vector) throw py::error_already_set();
    for (const BM25::Weight& weight : weights[i]) {
      const std::string& token = tokens[i][weight.first];
      TokenTable::Count& place = known[token];
      if (place == 0) {
        keys.push_back(py::reinterpret_steal<py::object>(
            PyUnicode_DecodeUTF8(token.data(), static_cast<Py_ssize_t>(token.size()), nullptr)));
        if (!keys.back()) throw py::error_already_set();
        place = static_cast<TokenTable::Count>(keys.size());
      }
      const py::object& key = keys[static_cast<size_t>(place) - 1];
      py::object value = py::reinterpret_steal<py::object>(PyFloat_FromDouble(weight.value));
      if (!value) throw py::error_already_set();
      if (PyDict_SetItem(vector.ptr(), key.ptr(), value.ptr()) != 0) throw py::error_already_set();
    }
    out.append(std::move(vector));
  }
}

using Weigh = std::vector<BM25::Weights> (TextEncoder::*)(
    const std::vector<TextEncoder::TokenList>&, unsigned) const;

// Chunk by chunk: while the workers cut one chunk without the lock
// (`cut(chunk, workers)`), the calling thread converts the next one and
// hands the previous one's result to `add(result, workers)`, with the lock
// held. The model is read with the lock held and no BM25 batch method
// changing it, so that nothing trains or loads it meanwhile.
template <typename Cut, typename Add>
void CutChunks(const EncoderRef& self, py::handle texts, int threads, Cut&& cut, Add&& add,
               size_t most_texts = kChunkTexts) {
  using Result = decltype(cut(std::declval<const Texts&>(), 1u));
  unsigned workers = ResolveThreads(threads);
  py::iterator it = IterTexts(texts);
  const TextEncoder& encoder = *self;
  Texts current;
  Texts next;
  std::optional<Result> done;  // cut, not yet added
  bool more = NextChunk(it, current, most_texts);
  workers = WorkersFor(current, workers);
  while (more) {
    Result result;
    if (workers == 1) {
      {
        py::gil_scoped_release release;
        result = cut(current, workers);
      }
      AwaitBM25Reading(*encoder.model());
      add(result, workers);
      more = NextChunk(it, current, most_texts);
      continue;
    }
    // Declared after `result` and `current`, so destroyed (waiting for the
    // task) before them, also when the code below throws.
    std::future<void> task = std::async(std::launch::async, [&cut, &result, &current, workers] {
      result = cut(current, workers);
    });
    more = NextChunk(it, next, most_texts);
    if (done) {
      AwaitBM25Reading(*encoder.model());
      add(*done, workers);
    }
    {
      py::gil_scoped_release release;
      task.get();
    }
    done = std::move(result);
    std::swap(current, next);
  }
  if (done) {
    AwaitBM25Reading(*encoder.model());
    add(*done, workers);
  }
}

// CutChunks with the token lists of each chunk, weighed by `weigh`.
template <typename Sink>
void EncodeChunks(const EncoderRef& self, py::handle texts, int threads, Weigh weigh, Sink&& add) {
  const TextEncoder& encoder = *self;
  CutChunks(
      self, texts, threads,
      [&encoder](const Texts& chunk, unsigned workers) {
        return encoder.TokensMany(chunk, workers);
      },
      [&encoder, weigh, &add](const std::vector<TextEncoder::TokenList>& tokens,
                              unsigned workers) { add(tokens, (encoder.*weigh)(tokens, workers)); });
}

py::list EncodeTexts(const EncoderRef& self, py::handle texts, int threads, Weigh weigh) {
  py::list out;
  EncodeChunks(
      self, texts, threads, weigh,
      [&out](const std::vector<TextEncoder::TokenList>& tokens,
             const std::vector<BM25::Weights>& weights) { AppendVectors(tokens, weights, out); });
  return out;
}

// Token ids span 0 .. kMaxTokenId, so the matrices have one column more.
constexpr uint64_t kIdColumns = uint64_t{kMaxTokenId} + 1;

// A NumPy array that owns `values`, without copying them.
template <typename T>
py::array_t<T> OwningArray(std::vector<T>&& values) {
  auto owner = std::make_unique<std::vector<T>>(std::move(values));
  owner->reserve(1);  // a non-null buffer even when empty
  const T* data = owner->data();
  const auto size = static_cast<py::ssize_t>(owner->size());
  py::capsule base(owner.get(), [](void* p) { delete static_cast<std::vector<T>*>(p); });
  owner.release();
  // Strides given: pybind11 2.11 misreads the item size of NumPy 2's dtypes.
  return py::array_t<T>({size}, {static_cast<py::ssize_t>(sizeof(T))}, data, base);
}

// The module that format "scipy" builds its matrix with (None for format
// "numpy"), checked with NumPy before any text is encoded.
py::object CsrLibrary(const std::string& format) {
  if (format != "scipy" && format != "numpy") {
    throw py::value_error("format must be 'scipy' or 'numpy', not '" + format + "'");
  }
  py::object sparse = py::none();
  if (format == "scipy") {
    try {
      sparse = py::module_::import("scipy.sparse");
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_ImportError)) throw;
      throw py::import_error(
          "format='scipy' needs SciPy (pip install scipy); format='numpy' gives the same "
          "arrays with NumPy alone");
    }
  }
  py::module_::import("numpy");
  return sparse;
}

// `rows` as a SciPy csr_array (from `sparse`) or, when `sparse` is None, as
// the arrays (data, indices, indptr).
py::object CsrResult(IdRows&& rows, const py::object& sparse) {
  const size_t count = rows.rows();
  if (sparse.is_none()) {
    return py::make_tuple(OwningArray(std::move(rows.data)), OwningArray(std::move(rows.indices)),
                          OwningArray(std::move(rows.indptr)));
  }
  // SciPy indexes a matrix this wide with 64-bit signed integers.
  std::vector<int64_t> indices(rows.indices.begin(), rows.indices.end());
  rows.indices = {};
  py::object matrix =
      py::hasattr(sparse, "csr_array") ? sparse.attr("csr_array") : sparse.attr("csr_matrix");
  return matrix(py::make_tuple(OwningArray(std::move(rows.data)), OwningArray(std::move(indices)),
                               OwningArray(std::move(rows.indptr))),
                py::arg("shape") = py::make_tuple(count, kIdColumns));
}

// The rows of each text as a CSR matrix of token ids: a SciPy csr_array
// (format "scipy") or the arrays (data, indices, indptr) (format "numpy").
py::object EncodeCsr(const EncoderRef& self, py::handle texts, int threads, Weigh weigh,
                     const std::string& format) {
  const py::object sparse = CsrLibrary(format);
  IdRows rows;
  if (weigh == &TextEncoder::WeighDocuments) {
    // A document's row needs of the model only its length norm: the
    // workers count each text's token ids, and the rows are made from the
    // counts.
    const TextEncoder& encoder = *self;
    CutChunks(
        self, texts, threads,
        [&encoder](const Texts& chunk, unsigned workers) {
          return encoder.CountDocuments(chunk, workers);
        },
        [&encoder, &rows](const std::vector<TextEncoder::TokenCounts>& counts, unsigned) {
          for (const TextEncoder::TokenCounts& part : counts) {
            TextEncoder::AppendCountRows(*encoder.model(), part, rows);
          }
        },
        kCountChunkTexts);
  } else {
    EncodeChunks(self, texts, threads, weigh,
                 [&rows](const std::vector<TextEncoder::TokenList>& tokens,
                         const std::vector<BM25::Weights>& weights) {
                   TextEncoder::AppendIdRows(tokens, weights, rows);
                 });
  }
  return CsrResult(std::move(rows), sparse);
}

// Counts the texts chunk by chunk, each thread into a part of its own, and
// merges the parts' model into the encoder's model at the end: a failure
// anywhere (a bad item, an exception from the iterable, an overflow) leaves
// the model as it was, and the result equals training each text in turn.
// With more than one thread, the next chunk is read from the iterable (which
// needs the lock) while the current one is cut and counted.
// `count(encoder, chunk, first, counts)` cuts and counts each chunk (on the
// cutting thread, without the lock) and returns the texts that gave tokens.
template <typename Count>
void TrainTexts(const EncoderRef& self, const TextIterable& texts, int threads, Count&& count) {
  unsigned workers = ResolveThreads(threads);
  py::iterator it = IterTexts(texts.object);
  BM25& model = *self->model();
  size_t documents = 0;
  uint64_t texts_seen = 0;
  const TextEncoder& encoder = *self;
  Texts current;
  Texts next;
  bool more = NextChunk(it, current, kCountChunkTexts);
  workers = WorkersFor(current, workers);
  ParallelCounts counts(model, workers);
  auto train_chunk = [&encoder, &counts, &documents, &texts_seen, &count](const Texts& chunk) {
    documents += count(encoder, chunk, texts_seen, counts);
    texts_seen += chunk.size();
  };
  while (more) {
    if (workers == 1) {
      {
        py::gil_scoped_release release;
        train_chunk(current);
      }
      more = NextChunk(it, current, kCountChunkTexts);
      continue;
    }
    // The future's destructor waits for the task, also when NextChunk
    // throws, so the task never outlives the chunk and model it uses.
    std::future<void> task = std::async(std::launch::async, train_chunk, std::cref(current));
    more = NextChunk(it, next, kCountChunkTexts);
    {
      py::gil_scoped_release release;
      task.get();
    }
    std::swap(current, next);
  }
  if (documents == 0) return;
  BM25 added = counts.Combine();
  AwaitBM25Writing(model);
  const bool holds_nothing = model.doc_count() == 0 && model.doc_length_total() == 0 &&
                             model.doc_token_frequency().empty() &&
                             model.doc_token_documents().empty();
  if (holds_nothing && model.idf_mode() == added.idf_mode()) {
    // What merging into it gives, without a second pass over the tokens.
    model = std::move(added);
  } else {
    model.merge(added);
  }
}

void Train(const EncoderRef& self, const TextIterable& texts, int threads) {
  TrainTexts(self, texts, threads,
             [](const TextEncoder& encoder, const Texts& chunk, uint64_t first,
                ParallelCounts& counts) { return encoder.CountTexts(chunk, first, counts); });
}

// Trains as Train does and returns the texts' document rows under the
// trained model, from their token counts: each text is cut once.
CsrMatrix TrainAndEncodeCsr(const EncoderRef& self, const TextIterable& texts, int threads,
                             const std::string& format) {
  const py::object sparse = CsrLibrary(format);
  TextEncoder::TokenCounts counts;
  TrainTexts(self, texts, threads,
             [&counts](const TextEncoder& encoder, const Texts& chunk, uint64_t first,
                       ParallelCounts& parts) {
               const std::vector<TextEncoder::TokenList> tokens =
                   encoder.CountMany(chunk, first, parts);
               TextEncoder::AppendCounts(tokens, counts);
               size_t documents = 0;
               for (const TextEncoder::TokenList& list : tokens) documents += list.empty() ? 0 : 1;
               return documents;
             });
  AwaitBM25Reading(*self->model());
  return CsrMatrix{CsrResult(TextEncoder::CountRows(*self->model(), counts), sparse)};
}

const char kClassDoc[] =
    "The whole text-to-vector path: segment with a Jieba, keep the words that hold a\n"
    "letter or a digit (Unicode category L* or N*), drop the Jieba's stop words,\n"
    "then train or encode a BM25 model; natively, on several threads.\n"
    "\n"
    "threads: 0 uses every hardware thread, 1 the calling thread; a negative count\n"
    "raises ValueError. Results never depend on it. Pickles by its Jieba, its model\n"
    "and its options.";

const char kInitDoc[] =
    "jieba: the segmenter; model: the BM25 to train or encode with (when None a new\n"
    "BM25(idf='documents'), or BM25() with legacy). search: segment with\n"
    "cut_for_search; stop_words: drop the Jieba's stop words; unknown_words: a word\n"
    "the dictionary lacks also gives its characters and character bigrams, with\n"
    "sentence-final particles split off; normalize: fold case and full-width forms\n"
    "of letters and digits; fold_script: fold every term to Simplified characters\n"
    "with script_table (a file of FROM<TAB>TO lines; None: the bundled table);\n"
    "bigrams: the character bigrams of every run of two or more Han characters\n"
    "are terms too, in the text's own script; characters: so is each Han character\n"
    "of the words kept (not of stop words), and the bigrams leave out pairs that\n"
    "reach into a stop word or that a two-character word gives already. Options\n"
    "left as None take the best measured choice: search off, the others on; with\n"
    "legacy=True all are off: the plain cut of pymiratext 0.1. characters=False:\n"
    "the terms of 0.3; search=True, bigrams=False, characters=False: those of 0.2.";

// The options a keyword left as None takes: the best measured ones, or with
// legacy=True those of the plain cut (the index terms of pymiratext 0.1).
struct Choices {
  bool search;
  bool unknown_words;
  bool normalize;
  bool fold_script;
  bool bigrams;
  bool characters;
};
constexpr Choices kDefaults{false, true, true, true, true, true};
constexpr Choices kLegacy{false, false, false, false, false, false};

// The bundled Traditional-to-Simplified table.
std::string BundledScriptTable() {
  return py::module_::import("pymiratext._data").attr("script_table_path")().cast<std::string>();
}

std::shared_ptr<TextEncoder> MakeEncoder(std::shared_ptr<Jieba> jieba, std::shared_ptr<BM25> model,
                                         std::optional<bool> search, bool stop_words,
                                         std::optional<bool> unknown_words,
                                         std::optional<bool> normalize,
                                         std::optional<bool> fold_script,
                                         std::optional<std::string> script_table, bool legacy,
                                         std::optional<bool> bigrams,
                                         std::optional<bool> characters) {
  const Choices& choices = legacy ? kLegacy : kDefaults;
  if (!model) {
    model = std::make_shared<BM25>(0.75, 1.2,
                                   legacy ? BM25::Idf::kOccurrences : BM25::Idf::kDocuments);
  }
  TextEncoder::Options options(search.value_or(choices.search), stop_words);
  options.unknown_words = unknown_words.value_or(choices.unknown_words);
  options.normalize = normalize.value_or(choices.normalize);
  options.bigrams = bigrams.value_or(choices.bigrams);
  options.characters = characters.value_or(choices.characters);
  if (fold_script.value_or(choices.fold_script)) {
    options.script = std::make_shared<ScriptTable>(script_table ? *script_table : BundledScriptTable());
  }
  return std::make_shared<TextEncoder>(std::move(jieba), std::move(model), std::move(options));
}

// The keyword options that rebuild the encoder: TextEncoder(jieba, model, **options).
py::dict OptionsOf(const TextEncoder& encoder) {
  const TextEncoder::Options& options = encoder.options();
  py::object table = py::none();
  if (options.script && options.script->path() != BundledScriptTable()) {
    table = py::str(options.script->path());
  }
  py::dict dict;
  dict["search"] = options.search;
  dict["stop_words"] = options.stop_words;
  dict["unknown_words"] = options.unknown_words;
  dict["normalize"] = options.normalize;
  dict["fold_script"] = static_cast<bool>(options.script);
  dict["script_table"] = table;
  dict["bigrams"] = options.bigrams;
  dict["characters"] = options.characters;
  return dict;
}

}  // namespace

void BindTextEncoder(py::module_& m) {
  py::class_<TextEncoder, EncoderRef>(m, "TextEncoder", kClassDoc)
      .def(py::init(&MakeEncoder), py::arg("jieba").none(false), py::arg("model") = py::none(),
           py::arg("search") = py::none(), py::arg("stop_words") = true,
           py::arg("unknown_words") = py::none(), py::arg("normalize") = py::none(),
           py::arg("fold_script") = py::none(), py::arg("script_table") = py::none(),
           py::arg("legacy") = false, py::arg("bigrams") = py::none(),
           py::arg("characters") = py::none(),
           // The Python objects stay alive with the encoder, so `model` gives
           // back the very object passed in.
           py::keep_alive<1, 2>(), py::keep_alive<1, 3>(), kInitDoc)
      .def_property_readonly(
          "jieba",
          [](const EncoderRef& self) { return std::const_pointer_cast<Jieba>(self->jieba()); },
          "The segmenter.")
      .def_property_readonly(
          "model", [](const EncoderRef& self) { return self->model(); },
          "The BM25 model that train fills and encode_* read: the very object given\n"
          "to the constructor (or the one it made).")
      .def_property_readonly(
          "search", [](const EncoderRef& self) { return self->options().search; },
          "Whether texts are segmented with cut_for_search.")
      .def_property_readonly(
          "stop_words", [](const EncoderRef& self) { return self->options().stop_words; },
          "Whether the Jieba's stop words are dropped.")
      .def_property_readonly(
          "unknown_words", [](const EncoderRef& self) { return self->options().unknown_words; },
          "Whether a word the dictionary lacks also gives its characters and bigrams.")
      .def_property_readonly(
          "normalize", [](const EncoderRef& self) { return self->options().normalize; },
          "Whether letters and digits are folded (case, width) before cutting.")
      .def_property_readonly(
          "fold_script", [](const EncoderRef& self) { return bool(self->options().script); },
          "Whether every index term is folded to Simplified characters.")
      .def_property_readonly(
          "bigrams", [](const EncoderRef& self) { return self->options().bigrams; },
          "Whether the character bigrams of Han runs are terms too.")
      .def_property_readonly(
          "characters", [](const EncoderRef& self) { return self->options().characters; },
          "Whether the Han characters of the words kept are terms too.")
      .def_property_readonly(
          "options", [](const EncoderRef& self) { return OptionsDict{OptionsOf(*self)}; },
          "The keyword options, as a new dict: TextEncoder(jieba, model, **options)\n"
          "rebuilds this encoder.")
      .def(
          "tokens",
          [](const EncoderRef& self, const std::string& text) {
            TextEncoder::TokenList tokens;
            self->Tokens(text, tokens);
            return tokens;
          },
          py::arg("text"), py::call_guard<py::gil_scoped_release>(),
          "The index terms of a text: its words that hold a letter or a digit, stop\n"
          "words dropped, in text order, with the pieces and folding the options add.")
      .def(
          "tokenize",
          [](const EncoderRef& self, const std::string& text) {
            std::vector<TextEncoder::Term> terms;
            self->Terms(text, terms);
            std::vector<std::tuple<std::string, size_t, size_t>> spans;
            spans.reserve(terms.size());
            for (TextEncoder::Term& term : terms) spans.emplace_back(std::move(term.text), term.begin, term.end);
            return spans;
          },
          py::arg("text"), py::call_guard<py::gil_scoped_release>(),
          "The index terms of tokens(text), in the same order, each as (term, start, end):\n"
          "text[start:end] are the characters it comes from (the term itself unless it\n"
          "was folded).")
      .def("train", &Train, py::arg("texts"), py::arg("threads") = 0,
           "Train the model on each text in order, one document a text; texts without\n"
           "tokens are skipped. The model file equals that of training each text's\n"
           "tokens in turn; on any error the model is left as it was. Reads the\n"
           "iterable in bounded chunks, so memory stays bounded for any corpus length.")
      .def(
          "encode_documents",
          [](const EncoderRef& self, const TextIterable& texts, int threads) {
            return Vectors{EncodeTexts(self, texts.object, threads, &TextEncoder::WeighDocuments)};
          },
          py::arg("texts"), py::arg("threads") = 0,
          "BM25 document vector of each text, in order. A text without tokens gives {};\n"
          "any other text on an untrained model raises RuntimeError.")
      .def(
          "encode_queries",
          [](const EncoderRef& self, const TextIterable& texts, int threads) {
            return Vectors{EncodeTexts(self, texts.object, threads, &TextEncoder::WeighQueries)};
          },
          py::arg("texts"), py::arg("threads") = 0,
          "BM25 query vector of each text, in order; the same rules as encode_documents.")
      .def(
          "encode_documents_csr",
          [](const EncoderRef& self, const TextIterable& texts, int threads, const std::string& format) {
            return CsrMatrix{EncodeCsr(self, texts.object, threads, &TextEncoder::WeighDocuments, format)};
          },
          py::arg("texts"), py::arg("threads") = 0, py::arg("format") = "scipy",
          "The document vectors of encode_documents as the rows of one CSR matrix of\n"
          "token ids: row i is text i, column token_id(token), float32 weights (the weights\n"
          "of tokens sharing an id added), ids ascending in each row; a text without\n"
          "tokens gives an empty row. format 'scipy': a scipy.sparse.csr_array of shape\n"
          "(len(texts), 2**32 - 1); 'numpy': the arrays (data float32, indices uint32,\n"
          "indptr int64), which need NumPy alone.")
      .def(
          "encode_queries_csr",
          [](const EncoderRef& self, const TextIterable& texts, int threads, const std::string& format) {
            return CsrMatrix{EncodeCsr(self, texts.object, threads, &TextEncoder::WeighQueries, format)};
          },
          py::arg("texts"), py::arg("threads") = 0, py::arg("format") = "scipy",
          "The query vectors of encode_queries as a CSR matrix of token ids; the same\n"
          "layout and formats as encode_documents_csr.")
      .def("train_and_encode_csr", &TrainAndEncodeCsr, py::arg("texts"), py::arg("threads") = 0,
           py::arg("format") = "scipy",
           "Train the model on the texts as train does, then return their document\n"
           "vectors under the trained model as encode_documents_csr does; each text is\n"
           "segmented once. The rows stay in memory until the end (about 12 bytes a\n"
           "token of each text); on failure the model is left as it was.")
      // Pickled by its Jieba, its model and its options: unpickling calls the
      // constructor again, which keeps the restored objects alive.
      .def("__reduce__", [](const py::object& self) {
        py::list arguments;
        arguments.append(self.attr("jieba"));
        arguments.append(self.attr("model"));
        for (const auto& [name, value] : OptionsOf(*self.cast<EncoderRef>())) {
          arguments.append(value);
          // legacy sits between script_table and the later options; every
          // option is given, so it decides nothing.
          if (name.cast<std::string>() == "script_table") arguments.append(false);
        }
        return py::make_tuple(py::type::of(self), py::tuple(arguments));
      });
}

}  // namespace mira::typing::text::pybind
