// Registration functions of the Python module, one per class.
#pragma once

#include <pybind11/pybind11.h>

#include <chrono>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "pybind/Typed.hpp"

namespace mira::typing::text {
class BM25;
}  // namespace mira::typing::text

namespace mira::typing::text::pybind {

// Registers class BM25 on the module.
void BindBM25(pybind11::module_& m);
pybind11::object BindBM25Impl(pybind11::module_& m);

// BM25 batch methods run without the interpreter lock. Code that reads
// (AwaitBM25Reading) or changes (AwaitBM25Writing) a BM25 outside the BM25
// class's own methods calls one of these first, with the lock held: it
// returns once no such batch changes (or, for writing, uses) the model,
// releasing the lock while it waits. None starts until the lock is released.
// In a child process forked while a batch trained the model, both throw
// std::runtime_error instead: the model's state there is unknown.
void AwaitBM25Reading(const BM25& model);
void AwaitBM25Writing(const BM25& model);

// Registers the segmenter classes on the module.
void BindTokenizder(pybind11::module_& m);
void BindJieba(pybind11::module_& m);

// Registers class TextEncoder; needs BM25 and Jieba registered first.
void BindTextEncoder(pybind11::module_& m);

// Registers the module functions token_id and id_vector.
void BindTokenId(pybind11::module_& m);

// The (key, value) pairs of a dict as a new list that holds its own
// references: code that converts the values (which may run Python code that
// changes the dict) reads the pairs from this list instead of the dict.
inline pybind11::list DictItems(const pybind11::dict& dict) {
  auto items = pybind11::reinterpret_steal<pybind11::list>(PyDict_Items(dict.ptr()));
  if (!items) throw pybind11::error_already_set();
  return items;
}

// A batch that runs without the interpreter lock calls this between rounds
// of work on the thread that called it: at most every 50 ms it takes the
// lock and runs the pending signal handlers, so that Ctrl-C stops the batch
// with KeyboardInterrupt (an exception a handler raises is thrown here).
class SignalCheck {
 public:
  void operator()() {
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::milliseconds(50)) return;
    last_ = now;
    pybind11::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() != 0) throw pybind11::error_already_set();
  }

 private:
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

// lists[i] as a list of str, for every i, with the lock held; word(i, item)
// gives the text of one item of lists[i] as a std::string_view. Equal words
// share one str object: a batch repeats its common words thousands of times,
// and one look-up costs less than decoding, allocating and later freeing a
// str for each occurrence (the objects are immutable, so nothing can tell
// but `is`).
struct WordListsResult {
  static constexpr auto name = pybind11::detail::const_name("List[List[str]]");
  static bool Accepts(pybind11::handle) { return false; }
};
template <class Lists, class Word>
Typed<WordListsResult> WordLists(const Lists& lists, Word&& word) {
  std::unordered_map<std::string_view, PyObject*> made;
  pybind11::list out(lists.size());
  for (size_t i = 0; i < lists.size(); ++i) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(lists[i].size()));
    if (list == nullptr) throw pybind11::error_already_set();
    PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), list);  // owned by out from here
    Py_ssize_t k = 0;
    for (const auto& item : lists[i]) {
      const std::string_view text = word(i, item);
      auto [it, fresh] = made.try_emplace(text, nullptr);
      if (fresh) {
        it->second = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
        if (it->second == nullptr) {
          made.erase(it);
          throw pybind11::error_already_set();
        }
      } else {
        Py_INCREF(it->second);
      }
      PyList_SET_ITEM(list, k++, it->second);  // steals the reference
    }
  }
  return {std::move(out)};
}

}  // namespace mira::typing::text::pybind
