// Python class BM25: conversion, interpreter-lock handling and exception
// translation; the model lives in bm25/BM25.hpp. std::runtime_error reaches
// Python as RuntimeError, std::invalid_argument as ValueError and
// std::overflow_error as OverflowError.
//
// Token lists are read without copying: for a list or tuple of exact str
// the tokens are views of the strings' UTF-8 forms, a reference to each str
// keeps it alive (the list may change once the interpreter lock is
// released), and result keys reuse those objects.
// Any other argument goes through pybind11's own list conversion, so the
// accepted arguments, the overload choice and the rendered signatures are
// exactly those of std::vector<std::string> / std::vector<int64_t>.
#include <pybind11/stl.h>
#ifndef _WIN32
#include <pthread.h>
#endif

#include <atomic>
#include <condition_variable>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bm25/BM25.hpp"
#include "common/Parallel.hpp"
#include "pybind/Bindings.hpp"

namespace py = pybind11;

namespace mira::typing::text::pybind {
namespace {

using Strings = std::vector<std::string>;
using Ids = std::vector<int64_t>;

// Token lists converted from Python, one or many documents. objects[i] is
// a strong reference to the object token i was read from, or null when the
// token came from the generic conversion (whose strings `owned` holds).
// Created and destroyed with the interpreter lock held.
template <typename Token>
struct TokenDocuments {
  BM25::Documents<Token> documents;
  std::vector<PyObject*> objects;
  std::vector<Strings> owned;  // moving a Strings keeps its elements in place

  TokenDocuments() = default;
  TokenDocuments(TokenDocuments&& other) noexcept
      : documents(std::move(other.documents)),
        objects(std::move(other.objects)),
        owned(std::move(other.owned)) {
    other.objects.clear();
  }
  TokenDocuments& operator=(TokenDocuments&& other) noexcept {
    std::swap(documents, other.documents);
    std::swap(objects, other.objects);
    std::swap(owned, other.owned);
    return *this;
  }
  ~TokenDocuments() {
    for (PyObject* object : objects) Py_XDECREF(object);
  }

  // The result key of token `index` of `document`: the object it came from
  // when that is an exact str / int, else one made as pybind11 would.
  py::object Key(std::size_t document, std::size_t index) const {
    const std::size_t i = documents.bounds[document] + index;
    if (objects[i] != nullptr) return py::reinterpret_borrow<py::object>(objects[i]);
    return Make(documents.tokens[i]);
  }

 private:
  static py::object Make(std::string_view token) {
    return py::str(token.data(), token.size());  // UnicodeDecodeError for bad UTF-8
  }
  static py::object Make(int64_t token) { return py::int_(token); }
};

// Reads one exact str / int without running Python code; false if item is
// not of that exact type or does not convert (a lone surrogate, a number out
// of range), leaving the choice to the generic conversion.
bool ReadExact(PyObject* item, std::string_view& token) {
  if (!PyUnicode_CheckExact(item)) return false;
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(item, &size);
  if (data == nullptr) {
    PyErr_Clear();
    return false;
  }
  token = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

bool ReadExact(PyObject* item, int64_t& token) {
  if (!PyLong_CheckExact(item)) return false;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(item, &overflow);
  if (overflow != 0 || (value == -1 && PyErr_Occurred())) {
    PyErr_Clear();
    return false;
  }
  token = static_cast<int64_t>(value);
  return true;
}

void AppendGeneric(TokenDocuments<std::string_view>& out, Strings strings) {
  out.owned.push_back(std::move(strings));
  for (const std::string& s : out.owned.back()) out.documents.tokens.emplace_back(s);
}

void AppendGeneric(TokenDocuments<int64_t>& out, Ids ids) {
  out.documents.tokens.insert(out.documents.tokens.end(), ids.begin(), ids.end());
}

// Appends one document converted from src as std::vector<Element> would be.
template <typename Token, typename Element>
bool LoadDocument(py::handle src, bool convert, TokenDocuments<Token>& out) {
  const bool list = PyList_CheckExact(src.ptr());
  if (list || PyTuple_CheckExact(src.ptr())) {
    PyObject** items = list ? PySequence_Fast_ITEMS(src.ptr()) : &PyTuple_GET_ITEM(src.ptr(), 0);
    const std::size_t n = static_cast<std::size_t>(Py_SIZE(src.ptr()));
    auto& tokens = out.documents.tokens;
    const std::size_t mark = tokens.size();
    if (mark == 0) {
      tokens.reserve(n);
      out.objects.reserve(n);
    }
    std::size_t i = 0;
    Token token{};
    // Nothing below runs Python code, so the list cannot change meanwhile.
    // The objects lie anywhere in memory; fetching a few ahead hides most
    // of the wait for each.
    constexpr std::size_t kAhead = 8;
    for (std::size_t j = 0; j < std::min(n, kAhead); ++j) __builtin_prefetch(items[j]);
    for (; i < n && ReadExact(items[i], token); ++i) {
      if (i + kAhead < n) __builtin_prefetch(items[i + kAhead]);
      tokens.push_back(token);
      Py_INCREF(items[i]);
      out.objects.push_back(items[i]);
    }
    if (i == n) {
      out.documents.end_document();
      return true;
    }
    for (std::size_t j = mark; j < tokens.size(); ++j) Py_DECREF(out.objects[j]);
    tokens.resize(mark);
    out.objects.resize(mark);
  }
  py::detail::make_caster<std::vector<Element>> generic;
  if (!generic.load(src, convert)) return false;
  AppendGeneric(out, py::detail::cast_op<std::vector<Element>&&>(std::move(generic)));
  out.objects.resize(out.documents.tokens.size(), nullptr);
  out.documents.end_document();
  return true;
}

// Argument types: one token list (List[str] / List[int]) or a list of them.
struct StrList : TokenDocuments<std::string_view> {};
struct IdList : TokenDocuments<int64_t> {};
struct StrLists : TokenDocuments<std::string_view> {};
struct IdLists : TokenDocuments<int64_t> {};

template <typename Token, typename Element>
bool LoadDocuments(py::handle src, bool convert, TokenDocuments<Token>& out) {
  // The acceptance test of pybind11's list conversion.
  if (!PySequence_Check(src.ptr()) || PyBytes_Check(src.ptr()) || PyUnicode_Check(src.ptr())) {
    return false;
  }
  auto items = py::reinterpret_steal<py::tuple>(PySequence_Tuple(src.ptr()));
  if (!items) {
    PyErr_Clear();
    return false;
  }
  std::size_t total = 0;
  for (py::handle item : items) {
    if (PyList_CheckExact(item.ptr()) || PyTuple_CheckExact(item.ptr())) {
      total += static_cast<std::size_t>(Py_SIZE(item.ptr()));
    }
  }
  out.documents.tokens.reserve(total);
  out.objects.reserve(total);
  out.documents.bounds.reserve(items.size() + 1);
  for (py::handle item : items) {
    if (!LoadDocument<Token, Element>(item, convert, out)) return false;
  }
  return true;
}

// Results: a dict per document, with the names of the std::map results.
struct StrWeights {
  py::object dict;
};
struct IdWeights {
  py::object dict;
};
struct StrWeightsList {
  py::object list;
};
struct IdWeightsList {
  py::object list;
};

}  // namespace
}  // namespace mira::typing::text::pybind

namespace pybind11::detail {

namespace mtp = mira::typing::text::pybind;

#define MIRA_ARGUMENT_CASTER(Type, Token, Element, Loader, Name)   \
  template <>                                                      \
  struct type_caster<mtp::Type> {                                  \
    PYBIND11_TYPE_CASTER(mtp::Type, make_caster<Name>::name);      \
    bool load(handle src, bool convert) {                          \
      return mtp::Loader<Token, Element>(src, convert, value);     \
    }                                                              \
  };

MIRA_ARGUMENT_CASTER(StrList, std::string_view, std::string, LoadDocument, std::vector<std::string>)
MIRA_ARGUMENT_CASTER(IdList, int64_t, int64_t, LoadDocument, std::vector<int64_t>)
MIRA_ARGUMENT_CASTER(StrLists, std::string_view, std::string, LoadDocuments,
                     std::vector<std::vector<std::string>>)
MIRA_ARGUMENT_CASTER(IdLists, int64_t, int64_t, LoadDocuments, std::vector<std::vector<int64_t>>)
#undef MIRA_ARGUMENT_CASTER

#define MIRA_RESULT_CASTER(Type, Member, Name)                                 \
  template <>                                                                  \
  struct type_caster<mtp::Type> {                                              \
    PYBIND11_TYPE_CASTER(mtp::Type, make_caster<Name>::name);                  \
    bool load(handle, bool) { return false; }                                  \
    static handle cast(mtp::Type result, return_value_policy, handle) {        \
      return result.Member.release();                                          \
    }                                                                          \
  };

using StrMap = std::map<std::string, double>;
using IdMap = std::map<int64_t, double>;
MIRA_RESULT_CASTER(StrWeights, dict, StrMap)
MIRA_RESULT_CASTER(IdWeights, dict, IdMap)
MIRA_RESULT_CASTER(StrWeightsList, list, std::vector<StrMap>)
MIRA_RESULT_CASTER(IdWeightsList, list, std::vector<IdMap>)
#undef MIRA_RESULT_CASTER

}  // namespace pybind11::detail

namespace mira::typing::text::pybind {
namespace {

// Batch methods work on a model without the interpreter lock. The lock no
// longer keeps other threads off the model then, so each model has a
// readers-writer registration here: batch encoders read shared, train_many
// writes exclusive, and every other method waits (with the interpreter lock
// released) until it would not overlap a batch that changes or reads what it
// touches. Registrations are made with the interpreter lock held, so a
// method that found the model free keeps it free until it returns. While a
// method waits, no new batch that conflicts with it starts on its models:
// without that, a method needing two models (merge) could wait for ever
// behind batches that keep one or the other busy.
//
// A child process forked while a batch trains a model inherits the model
// half-updated and no thread to finish the batch: there the model is
// orphaned, and every method on it raises RuntimeError instead of waiting for
// ever. Batches that only read leave nothing behind in the child.
class Usage {
 public:
  // Never destroyed: a child's orphaned models must not be freed at exit.
  static Usage& Instance() {
    static Usage* const usage = new Usage;
    return *usage;
  }

  // A model and how a method uses it: exclusive to change it.
  struct Need {
    const BM25* model;
    bool exclusive;
  };

  // Waits until no batch uses any of the models in a conflicting way; with
  // exclusive, also until no batch reads it. Interpreter lock held. All the
  // models are found free at one moment: a method that waited for one model
  // while holding the other could see a batch start on the first meanwhile.
  void Await(std::initializer_list<Need> needs) {
    if (active_.load(std::memory_order_acquire) == 0) return;
    auto all_free = [&] {
      for (const Need& need : needs) {
        if (!Free(need.model, need.exclusive)) return false;
      }
      return true;
    };
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (const Need& need : needs) CheckNotOrphaned(need.model);
      if (all_free()) return;
      for (const Need& need : needs) Want(need, 1);
    }
    while (true) {
      {
        py::gil_scoped_release nogil;
        std::unique_lock<std::mutex> lock(mutex_);
        idle_->wait(lock, all_free);
      }
      // Free without the interpreter lock; a batch may have started before
      // it was back, so look again with it held.
      std::lock_guard<std::mutex> lock(mutex_);
      if (all_free()) {
        for (const Need& need : needs) Want(need, -1);
        break;
      }
    }
    idle_->notify_all();
  }

  // Registers a batch; a writing one keeps the model alive while registered.
  void Enter(const std::shared_ptr<BM25>& model, bool exclusive) {
    const BM25* key = model.get();
    auto may_enter = [&] { return Free(key, exclusive) && !Wanted(key, exclusive); };
    while (true) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        CheckNotOrphaned(key);
        if (may_enter()) {
          State& state = models_[key];
          if (exclusive) {
            state.writing = true;
            state.writer = model;
          } else {
            ++state.readers;
          }
          active_.fetch_add(1, std::memory_order_release);
          return;
        }
      }
      py::gil_scoped_release nogil;
      std::unique_lock<std::mutex> lock(mutex_);
      idle_->wait(lock, may_enter);
    }
  }

  void Leave(const BM25* model, bool exclusive) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      State& state = models_[model];
      if (exclusive) {
        state.writing = false;
        state.writer.reset();
      } else {
        --state.readers;
      }
      Forget(model, state);
      active_.fetch_sub(1, std::memory_order_release);
    }
    idle_->notify_all();
  }

 private:
  struct State {
    int readers = 0;
    bool writing = false;
    int awaiting_read = 0;   // methods waiting to read the model
    int awaiting_write = 0;  // methods waiting to change it
    // The model a batch writes, held so that an orphaned one is never freed
    // (its memory may be mid-update) and its address never reused.
    std::shared_ptr<const BM25> writer;
    bool orphaned = false;
  };

  Usage() {
#ifndef _WIN32
    // The lock is held across fork, so the child gets the table in a
    // consistent state; no holder of the lock waits for the interpreter lock,
    // which the forking thread holds.
    pthread_atfork([] { Instance().mutex_.lock(); }, [] { Instance().mutex_.unlock(); },
                   [] { Instance().AfterForkInChild(); });
#endif
  }

  // Runs in the child on the forking thread, the only one that survives.
  void AfterForkInChild() {
    mutex_.unlock();
    // Threads that waited on the condition variable are gone, and one that
    // counts waiters which never wake may block; it is left unused.
    static_cast<void>(idle_.release());
    idle_ = std::make_unique<std::condition_variable>();
    int orphans = 0;
    for (auto it = models_.begin(); it != models_.end();) {
      State& state = it->second;
      if (!state.writing && !state.orphaned) {
        it = models_.erase(it);
        continue;
      }
      state = State{0, false, 0, 0, std::move(state.writer), true};
      ++orphans;
      ++it;
    }
    // Keeps Await off its fast path, so that it sees the orphans.
    active_.store(orphans, std::memory_order_release);
  }

  void CheckNotOrphaned(const BM25* model) const {
    const auto it = models_.find(model);
    if (it != models_.end() && it->second.orphaned) {
      throw std::runtime_error(
          "this BM25 model was being trained by another thread when the process forked, so "
          "its state in this process is unknown; use a model made or loaded after the fork");
    }
  }

  bool Free(const BM25* model, bool exclusive) const {
    const auto it = models_.find(model);
    return it == models_.end() || (!it->second.writing && (!exclusive || it->second.readers == 0));
  }

  // Whether a waiting method holds back a batch that uses the model so.
  bool Wanted(const BM25* model, bool exclusive) const {
    const auto it = models_.find(model);
    return it != models_.end() &&
           (it->second.awaiting_write > 0 || (exclusive && it->second.awaiting_read > 0));
  }

  void Want(const Need& need, int change) {
    State& state = models_[need.model];
    (need.exclusive ? state.awaiting_write : state.awaiting_read) += change;
    Forget(need.model, state);
  }

  void Forget(const BM25* model, const State& state) {
    if (!state.writing && !state.orphaned && state.readers == 0 && state.awaiting_read == 0 &&
        state.awaiting_write == 0) {
      models_.erase(model);
    }
  }

  std::mutex mutex_;
  std::unique_ptr<std::condition_variable> idle_ = std::make_unique<std::condition_variable>();
  std::unordered_map<const BM25*, State> models_;
  std::atomic<int> active_{0};
};

// A batch's registration for its lifetime.
class BatchUse {
 public:
  BatchUse(const std::shared_ptr<BM25>& model, bool exclusive)
      : model_(model.get()), exclusive_(exclusive) {
    Usage::Instance().Enter(model, exclusive_);
  }
  ~BatchUse() { Usage::Instance().Leave(model_, exclusive_); }
  BatchUse(const BatchUse&) = delete;
  BatchUse& operator=(const BatchUse&) = delete;

 private:
  const BM25* model_;
  bool exclusive_;
};

void AwaitReading(const BM25& model) { Usage::Instance().Await({{&model, false}}); }
void AwaitWriting(const BM25& model) { Usage::Instance().Await({{&model, true}}); }

// Binds a member through the holder: pybind11 then refuses an object whose
// __init__ never ran (BM25.__new__(BM25)) instead of passing unconstructed
// storage to the member.
template <class R, class... Args>
auto Held(R (BM25::*member)(Args...)) {
  return [member](const std::shared_ptr<BM25>& self, Args... args) -> R {
    AwaitWriting(*self);
    return ((*self).*member)(std::forward<Args>(args)...);
  };
}
template <class R, class... Args>
auto Held(R (BM25::*member)(Args...) const) {
  return [member](const std::shared_ptr<BM25>& self, Args... args) -> R {
    AwaitReading(*self);
    return ((*self).*member)(std::forward<Args>(args)...);
  };
}

template <typename Token>
py::dict ToDict(const TokenDocuments<Token>& input, std::size_t document,
                const BM25::Weights& weights) {
  // Sized up front: growing a dict key by key rebuilds it several times.
  auto dict = py::reinterpret_steal<py::dict>(
      _PyDict_NewPresized(static_cast<Py_ssize_t>(weights.size())));
  if (!dict) throw py::error_already_set();
  for (const BM25::Weight& weight : weights) {
    const py::object key = input.Key(document, weight.first);
    const py::float_ value(weight.value);
    if (PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()) != 0) throw py::error_already_set();
  }
  return dict;
}

template <typename Token>
py::list ToDicts(const TokenDocuments<Token>& input, const std::vector<BM25::Weights>& results) {
  py::list list(results.size());
  for (std::size_t d = 0; d < results.size(); ++d) {
    PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(d),
                    ToDict(input, d, results[d]).release().ptr());
  }
  return list;
}

// One document: small, so it runs with the interpreter lock held.
void Train(const std::shared_ptr<BM25>& self, const StrList& tokens) {
  AwaitWriting(*self);
  self->train_tokens(tokens.documents[0]);
}
void TrainIds(const std::shared_ptr<BM25>& self, const IdList& tokens) {
  AwaitWriting(*self);
  self->train_tokens(tokens.documents[0]);
}
StrWeights EncodeDocument(const std::shared_ptr<BM25>& self, const StrList& tokens) {
  AwaitReading(*self);
  return {ToDict(tokens, 0, self->weigh_document(tokens.documents[0]))};
}
IdWeights EncodeDocumentIds(const std::shared_ptr<BM25>& self, const IdList& tokens) {
  AwaitReading(*self);
  return {ToDict(tokens, 0, self->weigh_document(tokens.documents[0]))};
}
StrWeights EncodeQuery(const std::shared_ptr<BM25>& self, const StrList& tokens) {
  AwaitReading(*self);
  return {ToDict(tokens, 0, self->weigh_query(tokens.documents[0]))};
}
IdWeights EncodeQueryIds(const std::shared_ptr<BM25>& self, const IdList& tokens) {
  AwaitReading(*self);
  return {ToDict(tokens, 0, self->weigh_query(tokens.documents[0]))};
}

template <typename Lists>
void TrainMany(const std::shared_ptr<BM25>& self, const Lists& documents, int threads) {
  const unsigned resolved = ResolveThreads(threads);
  BatchUse use(self, true);
  py::gil_scoped_release nogil;
  self->train_many(documents.documents, resolved, SignalCheck());
}

template <typename Result, typename Lists>
Result WeighMany(const std::shared_ptr<BM25>& self, const Lists& documents, int threads,
                 bool queries) {
  const unsigned resolved = ResolveThreads(threads);
  std::vector<BM25::Weights> results;
  {
    BatchUse use(self, false);
    py::gil_scoped_release nogil;
    results = queries ? self->weigh_queries(documents.documents, resolved, SignalCheck())
                      : self->weigh_documents(documents.documents, resolved, SignalCheck());
  }
  return {ToDicts(documents, results)};
}

void Merge(const std::shared_ptr<BM25>& self, const std::shared_ptr<BM25>& other) {
  Usage::Instance().Await({{self.get(), true}, {other.get(), false}});
  self->merge(*other);
}

const char kTrainDoc[] =
    "Add one document (str tokens or int token ids) to the corpus statistics.";
const char kDocumentDoc[] =
    "Saturated, length-normalised term frequency of each distinct token.";
const char kQueryDoc[] =
    "Inverse document frequency of each distinct token, normalised to sum 1.";
const char kTrainManyDoc[] =
    "Train on each non-empty document in order, like one train call per document.\n"
    "Raises RuntimeError for an empty list of documents; on any error the model is\n"
    "left as it was. threads: 0 for one per CPU, 1 for the calling thread only;\n"
    "the result never depends on it. Runs without the interpreter lock.";
const char kEncodeDocumentsDoc[] =
    "encode_document of each document, in order, on up to `threads` threads\n"
    "(0: one per CPU). Runs without the interpreter lock.";
const char kEncodeQueriesDoc[] =
    "encode_query of each query, in order, on up to `threads` threads\n"
    "(0: one per CPU). Runs without the interpreter lock.";
const char kMergeDoc[] =
    "Add another model's statistics (document count, length total, token counts),\n"
    "as if its documents had been trained here after this model's own: shards\n"
    "trained apart and merged give the model that training them in turn gives.\n"
    "ValueError when b or k1 differ, or the idf kind (a model that holds nothing\n"
    "yet takes the other's), OverflowError when a count would exceed the\n"
    "64-bit range; on error neither model changes.";

// The idf keyword's values.
BM25::Idf IdfMode(const std::string& name) {
  if (name == "occurrences") return BM25::Idf::kOccurrences;
  if (name == "documents") return BM25::Idf::kDocuments;
  throw py::value_error("idf must be 'occurrences' or 'documents', not '" + name + "'");
}

const char* IdfName(BM25::Idf idf) {
  return idf == BM25::Idf::kDocuments ? "documents" : "occurrences";
}

py::dict TableDict(const BM25::FrequencyTable& table) {
  py::dict dict;
  for (const auto& [token, count] : table) dict[py::bytes(token)] = count;
  return dict;
}

// Pickled state: (b, k1, doc_count, doc_length_total, doc_length_average,
// {token bytes: count}), and for a model counting documents per token a
// seventh item, {token bytes: documents}. Tokens travel as bytes so any
// stored key survives.
py::tuple GetState(const std::shared_ptr<BM25>& model) {
  AwaitReading(*model);
  const BM25::State state = model->state();
  py::list saved;
  for (py::object item : {py::cast(state.b), py::cast(state.k1), py::cast(state.doc_count),
                          py::cast(state.doc_length_total), py::cast(state.doc_length_average),
                          py::object(TableDict(state.doc_token_frequency))}) {
    saved.append(item);
  }
  if (state.idf == BM25::Idf::kDocuments) saved.append(TableDict(state.doc_token_documents));
  return py::tuple(saved);
}

std::shared_ptr<BM25> SetState(const py::tuple& saved) {
  if (saved.size() != 6 && saved.size() != 7) throw py::value_error("invalid BM25 pickle state");
  BM25::State state;
  state.b = saved[0].cast<double>();
  state.k1 = saved[1].cast<double>();
  state.doc_count = saved[2].cast<BM25::Count>();
  state.doc_length_total = saved[3].cast<BM25::Count>();
  state.doc_length_average = saved[4].cast<double>();
  // Converting a count can run Python code (__index__).
  auto read_counts = [](const py::handle counts, BM25::FrequencyTable& table) {
    for (const py::handle item : DictItems(counts.cast<py::dict>())) {
      const py::handle token = PyTuple_GET_ITEM(item.ptr(), 0);
      const py::handle count = PyTuple_GET_ITEM(item.ptr(), 1);
      const auto value = count.cast<BM25::Count>();
      if (value < 0) throw py::value_error("invalid BM25 pickle state");
      table[token.cast<std::string>()] = value;
    }
  };
  read_counts(saved[5], state.doc_token_frequency);
  if (state.doc_count < 0 || state.doc_length_total < 0) {
    throw py::value_error("invalid BM25 pickle state");
  }
  if (saved.size() == 7) {
    state.idf = BM25::Idf::kDocuments;
    read_counts(saved[6], state.doc_token_documents);
  }
  auto model = std::make_shared<BM25>(state.b, state.k1);
  model->set_state(std::move(state));
  return model;
}

template <typename T>
auto Property(T (BM25::*getter)() const) {
  return [getter](const std::shared_ptr<BM25>& self) {
    AwaitReading(*self);
    return ((*self).*getter)();
  };
}

}  // namespace

void AwaitBM25Reading(const BM25& model) { AwaitReading(model); }
void AwaitBM25Writing(const BM25& model) { AwaitWriting(model); }

py::object BindBM25Impl(py::module_& m) {
  py::class_<BM25, std::shared_ptr<BM25>> cls(
      m, "BM25",
      "BM25 sparse encoder: train it one tokenised document at a time, then encode\n"
      "documents and queries as {token: weight} dictionaries.");
  // The two-parameter constructor stays as it was; the idf keyword is a
  // second overload, so that a call without it resolves exactly as before.
  cls.def(py::init<double, double>(), py::arg("b") = 0.75, py::arg("k1") = 1.2,
          "b: length normalisation, k1: term-frequency saturation.")
      .def(py::init([](double b, double k1, const std::string& idf) {
             return std::make_shared<BM25>(b, k1, IdfMode(idf));
           }),
           py::arg("b") = 0.75, py::arg("k1") = 1.2, py::kw_only(), py::arg("idf"),
           "idf: 'occurrences' weighs a query token by its occurrences in the corpus (as\n"
           "without it), 'documents' by the documents holding it, which gives no token a\n"
           "negative weight; the model file then also holds these counts (and the length\n"
           "total), and load restores whichever the file holds.")
      .def("train", &Train, kTrainDoc)
      .def("train", &TrainIds, kTrainDoc)
      .def("load", Held(&BM25::load),
           "Restore the model from the JSON text of a model file (the text, not a path);\n"
           "on failure the model is left as it was.")
      .def("dump", Held(&BM25::dump),
           "Write the model as JSON to the file at this path, replacing it only once\n"
           "the new file is complete.")
      .def("encode_document", &EncodeDocument, kDocumentDoc)
      .def("encode_document", &EncodeDocumentIds, kDocumentDoc)
      .def("encode_query", &EncodeQuery, kQueryDoc)
      .def("encode_query", &EncodeQueryIds, kQueryDoc)
      .def(py::pickle(&GetState, &SetState))
      .def("train_many", &TrainMany<StrLists>, py::arg("documents"), py::arg("threads") = 0,
           kTrainManyDoc)
      .def("train_many", &TrainMany<IdLists>, py::arg("documents"), py::arg("threads") = 0,
           kTrainManyDoc)
      .def(
          "encode_documents",
          [](const std::shared_ptr<BM25>& self, const StrLists& documents, int threads) {
            return WeighMany<StrWeightsList>(self, documents, threads, false);
          },
          py::arg("documents"), py::arg("threads") = 0, kEncodeDocumentsDoc)
      .def(
          "encode_documents",
          [](const std::shared_ptr<BM25>& self, const IdLists& documents, int threads) {
            return WeighMany<IdWeightsList>(self, documents, threads, false);
          },
          py::arg("documents"), py::arg("threads") = 0, kEncodeDocumentsDoc)
      .def(
          "encode_queries",
          [](const std::shared_ptr<BM25>& self, const StrLists& queries, int threads) {
            return WeighMany<StrWeightsList>(self, queries, threads, true);
          },
          py::arg("queries"), py::arg("threads") = 0, kEncodeQueriesDoc)
      .def(
          "encode_queries",
          [](const std::shared_ptr<BM25>& self, const IdLists& queries, int threads) {
            return WeighMany<IdWeightsList>(self, queries, threads, true);
          },
          py::arg("queries"), py::arg("threads") = 0, kEncodeQueriesDoc)
      .def("merge", &Merge, py::arg("other"), kMergeDoc)
      .def_property_readonly("b", Property(&BM25::b), "Length normalisation parameter.")
      .def_property_readonly("k1", Property(&BM25::k1), "Term-frequency saturation parameter.")
      .def_property_readonly("doc_count", Property(&BM25::doc_count),
                             "Number of documents trained (or loaded).")
      .def_property_readonly("doc_length_average", Property(&BM25::doc_length_average),
                             "Average document length in tokens.")
      .def_property_readonly(
          "idf",
          [](const std::shared_ptr<BM25>& self) {
            AwaitReading(*self);
            return IdfName(self->idf_mode());
          },
          "What the query weights count per token: 'occurrences' or 'documents'.");
  return std::move(cls);
}

void BindBM25(py::module_& m) { BindBM25Impl(m); }

}  // namespace mira::typing::text::pybind
