// Python class Jieba: conversion, lock handling and exception translation
// only; the segmenter lives in tokenizer/jieba/Jieba.hpp.
//
// Loading failures become Python exceptions: a file that cannot be opened
// raises FileNotFoundError, malformed content ValueError, each carrying the
// text of the failed check. The cutting calls run without the interpreter
// lock; arguments are converted before and the result list built after.
#include <pybind11/stl.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "common/Parallel.hpp"
#include "pybind/Bindings.hpp"
#include "tokenizer/jieba/Jieba.hpp"
#include "tokenizer/jieba/limonp/Logging.hpp"

namespace py = pybind11;

namespace mira::typing::text::pybind {
namespace {

using jieba::Jieba;
using Words = std::vector<std::string>;
// Methods take self through the holder: pybind11 hands it out only for an
// object whose __init__ ran, and checks that while the lock is held. A plain
// reference would reach raw memory for an object made with Jieba.__new__.
using JiebaRef = std::shared_ptr<Jieba>;

void TranslateLoadErrors(std::exception_ptr p) {
  try {
    if (p) std::rethrow_exception(p);
  } catch (const limonp::FileOpenError& e) {
    PyErr_SetString(PyExc_FileNotFoundError, e.what());
  } catch (const limonp::BadContentError& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  }
}

// top_k as a size: ValueError when negative; a value beyond the range of
// size_t asks for more keywords than any text has, so it means all of them.
size_t TopK(const py::int_& top_k) {
  const int negative = PyObject_RichCompareBool(top_k.ptr(), py::int_(0).ptr(), Py_LT);
  if (negative < 0) throw py::error_already_set();
  if (negative) throw py::value_error("top_k must not be negative");
  const size_t k = PyLong_AsSize_t(top_k.ptr());
  if (k == static_cast<size_t>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    return 0;
  }
  return k;
}

// The type of the class Jieba: pybind11's own, except that Jieba() without
// arguments is shown the way to the bundled data instead of pybind11's bare
// list of signatures (subclasses, whose constructors may take none, are left
// alone). Done in the call rather than by a second constructor, which would
// tell type checkers that Jieba() is fine.
py::object JiebaMetaclass() {
  auto base = py::reinterpret_borrow<py::object>(
      reinterpret_cast<PyObject*>(py::detail::get_internals().default_metaclass));
  py::dict namespace_;
  namespace_["__module__"] = "pymiratext";
  py::object meta = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type))(
      "JiebaType", py::make_tuple(base), namespace_);
  meta.attr("__call__") = py::cpp_function(
      [base](py::handle cls, py::args args, py::kwargs kwargs) -> py::object {
        if (args.empty() && kwargs.empty() && cls.is(py::type::of<Jieba>())) {
          throw py::type_error(
              "Jieba() needs the paths of its five data files (dict_path, hmm_path, "
              "user_dict_path, idf_path, stop_word_path); for the data that ships with "
              "pymiratext use Jieba(**pymiratext.default_paths())");
        }
        return base.attr("__call__")(cls, *args, **kwargs);
      },
      py::is_method(meta));
  return meta;
}

// The three text-analysis methods; a block of their own beside the cuts.
void BindJiebaAnalysis(py::class_<Jieba, std::shared_ptr<Jieba>> cls) {
  using Span = std::tuple<std::string, size_t, size_t>;
  cls.def(
         "tokenize",
         [](const JiebaRef& self, const std::string& sentence, bool search) {
           std::vector<jieba::Word> words;
           self->Tokenize(sentence, words, search);
           std::vector<Span> spans;
           spans.reserve(words.size());
           for (jieba::Word& w : words) {
             const size_t start = w.rune_offset;
             spans.emplace_back(std::move(w.text), start, start + w.rune_length);
           }
           return spans;
         },
         py::arg("sentence"), py::arg("search") = false, py::call_guard<py::gil_scoped_release>(),
         "The words of cut (or of cut_for_search when search is true, in its order),\n"
         "each as (word, start, end): indices into the Python string, with\n"
         "sentence[start:end] == word.")
      .def(
          "tag",
          [](const JiebaRef& self, const std::string& sentence) {
            std::vector<jieba::WordTag> tagged;
            self->Tag(sentence, tagged);
            return tagged;
          },
          py::arg("sentence"), py::call_guard<py::gil_scoped_release>(),
          "The words of cut, each as (word, tag): the dictionary's part-of-speech tag,\n"
          "or for a word without one 'm' (mostly ASCII digits), 'eng' (other ASCII\n"
          "text) or 'x'.")
      .def(
          "extract_keywords",
          [](const JiebaRef& self, const std::string& sentence, const py::int_& top_k) {
            const size_t k = TopK(top_k);  // with the lock: may raise
            py::gil_scoped_release release;
            std::vector<std::pair<std::string, double>> out;
            for (jieba::Keyword& kw : self->ExtractKeywords(sentence, k)) {
              out.emplace_back(std::move(kw.word), kw.weight);
            }
            return out;  // converted once the lock is back
          },
          py::arg("sentence"), py::arg("top_k") = 20,
          "The top_k heaviest TF-IDF keywords of the words of cut as (word, weight),\n"
          "heaviest first, ties in order of first appearance; top_k 0 returns all.\n"
          "Counted are words of two or more characters that hold a Unicode letter or\n"
          "number and are not stop words; weight = count / counted words * IDF, with\n"
          "the IDF file's mean for a word it lacks. A negative top_k raises ValueError.");
}

const char kJiebaDoc[] =
    "Chinese word segmenter: a word dictionary's most probable path, with an HMM for\n"
    "unknown words. Jieba(**pymiratext.default_paths()) loads the bundled data.";

}  // namespace

void BindJieba(py::module_& m) {
  py::register_exception_translator(&TranslateLoadErrors);

  py::class_<Jieba, std::shared_ptr<Jieba>>(m, "Jieba", kJiebaDoc)
      .def(py::init<const std::string&, const std::string&, const std::string&, const std::string&,
                    const std::string&>(),
           py::arg("dict_path"), py::arg("hmm_path"), py::arg("user_dict_path"),
           py::arg("idf_path"), py::arg("stop_word_path"),
           "Load the main dictionary, the HMM model, the user dictionaries (several\n"
           "paths joined by '|' or ';', or empty), the IDF and the stop-word files.")
      .def(
          "cut",
          [](const JiebaRef& self, const std::string& sentence) {
            Words words;
            self->Cut(sentence, words);
            return words;
          },
          py::arg("sentence"), py::call_guard<py::gil_scoped_release>(),
          "Cut a sentence into words: the most probable dictionary path, with runs of\n"
          "single characters regrouped by the HMM.")
      .def(
          "cut_for_search",
          [](const JiebaRef& self, const std::string& sentence) {
            Words words;
            self->CutForSearch(sentence, words);
            return words;
          },
          py::arg("sentence"), py::call_guard<py::gil_scoped_release>(),
          "Like cut, with the two- and three-character dictionary words inside each\n"
          "long word placed before it.")
      .def(
          "cut_many",
          [](const JiebaRef& self, const std::vector<std::string>& sentences, bool search,
             int threads) {
            const unsigned workers = ResolveThreads(threads);
            std::vector<std::vector<jieba::ByteSpan>> cuts(sentences.size());
            {
              py::gil_scoped_release release;
              // In rounds of about a megabyte a thread, with a look for
              // Ctrl-C between them.
              SignalCheck check;
              const size_t round_bytes = (size_t{1} << 20) * workers;
              for (size_t from = 0, to = 0; from < sentences.size(); from = to) {
                if (from > 0) check();
                size_t bytes = 0;
                for (; to < sentences.size() && bytes < round_bytes; ++to) {
                  bytes += sentences[to].size() + 1;
                }
                ParallelFor(to - from, ThreadsForText(workers, bytes), [&](size_t begin, size_t end) {
                  for (size_t i = from + begin; i < from + end; ++i) {
                    self->CutSpans(sentences[i], cuts[i], search);
                  }
                });
              }
            }
            return WordLists(cuts, [&sentences](size_t i, const jieba::ByteSpan& span) {
              return std::string_view(sentences[i]).substr(span.offset, span.length);
            });
          },
          py::arg("sentences"), py::arg("search") = false, py::arg("threads") = 0,
          "Cut each sentence, in order: the words of cut, or of cut_for_search when\n"
          "search is true. Cuts natively without the interpreter lock on `threads`\n"
          "threads: 0 all hardware threads, 1 the calling thread; a negative count\n"
          "raises ValueError. The result never depends on the thread count.")
      // Pickled by its five paths, so that worker processes reload the files.
      .def(py::pickle(
          [](const JiebaRef& self) {
            const jieba::JiebaPaths& p = self->Paths();
            return py::make_tuple(p.dict_path, p.hmm_path, p.user_dict_path, p.idf_path,
                                  p.stop_word_path);
          },
          [](const py::tuple& state) {
            if (state.size() != 5) throw std::runtime_error("Jieba state must hold five paths");
            return std::make_shared<Jieba>(
                state[0].cast<std::string>(), state[1].cast<std::string>(),
                state[2].cast<std::string>(), state[3].cast<std::string>(),
                state[4].cast<std::string>());
          }));
  BindJiebaAnalysis(m.attr("Jieba"));
  m.attr("Jieba").attr("__class__") = JiebaMetaclass();
}

void BindTokenizder(py::module_& m) { BindJieba(m); }

}  // namespace mira::typing::text::pybind
