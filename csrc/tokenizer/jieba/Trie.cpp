#include "tokenizer/jieba/Trie.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <mutex>
#include <new>
#include <stdexcept>
#include <unordered_set>
#include <utility>

namespace mira::typing::text::jieba {

// ---- WordRunes ----

namespace {

Rune* AllocateRunes(size_t n) {
  void* block = std::malloc(n * sizeof(Rune));
  if (block == nullptr) throw std::bad_alloc();
  return static_cast<Rune*>(block);
}

uint32_t CheckedSize(size_t n) {
  if (n > std::numeric_limits<uint32_t>::max()) throw std::length_error("word too long");
  return static_cast<uint32_t>(n);
}

}  // namespace

WordRunes::WordRunes(const RuneArray& runes) {
  if (runes.empty()) return;
  Rune* block = AllocateRunes(runes.size());
  std::memcpy(block, runes.begin(), runes.size() * sizeof(Rune));
  data_ = block;
  size_ = capacity_ = CheckedSize(runes.size());
}

WordRunes::WordRunes(const WordRunes& other) {
  if (other.capacity_ == 0) {
    data_ = other.data_;
    size_ = other.size_;
    return;
  }
  Rune* block = AllocateRunes(other.size_);
  std::memcpy(block, other.data_, other.size_ * sizeof(Rune));
  data_ = block;
  size_ = capacity_ = other.size_;
}

WordRunes::WordRunes(WordRunes&& other) noexcept { swap(other); }

WordRunes& WordRunes::operator=(WordRunes other) noexcept {
  swap(other);
  return *this;
}

WordRunes::~WordRunes() {
  if (capacity_ > 0) std::free(const_cast<Rune*>(data_));
}

WordRunes WordRunes::View(const Rune* data, size_t size) {
  WordRunes view;
  view.data_ = data;
  view.size_ = CheckedSize(size);
  return view;
}

void WordRunes::push_back(Rune r) {
  if (size_ == capacity_) {
    const size_t grown = capacity_ == 0 ? std::max<size_t>(4, size_ * 2) : size_t{capacity_} * 2;
    Rune* block = AllocateRunes(grown);
    if (size_ > 0) std::memcpy(block, data_, size_ * sizeof(Rune));
    if (capacity_ > 0) std::free(const_cast<Rune*>(data_));
    data_ = block;
    capacity_ = CheckedSize(grown);
  }
  const_cast<Rune*>(data_)[size_++] = r;
}

void WordRunes::swap(WordRunes& other) noexcept {
  std::swap(data_, other.data_);
  std::swap(size_, other.size_);
  std::swap(capacity_, other.capacity_);
}

// ---- TagText ----

namespace {

// Loose tags, one copy of each distinct text for the life of the process
// (never destroyed, so tags stay valid during static destruction).
const std::string* InternLoose(const std::string& text) {
  static std::mutex* mutex = new std::mutex;
  static auto* pool = new std::unordered_set<std::string>;
  std::lock_guard<std::mutex> lock(*mutex);
  return &*pool->insert(text).first;
}

const std::string* EmptyTag() {
  static const std::string* empty = new std::string;
  return empty;
}

}  // namespace

TagText::TagText() : text_(EmptyTag()) {}
TagText::TagText(const std::string& text)
    : text_(text.empty() ? EmptyTag() : InternLoose(text)) {}
TagText::TagText(const char* text) : TagText(std::string(text)) {}

// ---- Trie ----

Trie::Trie(const std::vector<TrieEntry>& entries) { Build(entries); }

Trie::Trie(const std::vector<RuneArray>& keys, const std::vector<const DictUnit*>& values) {
  if (!keys.empty() && !values.empty() && keys.size() != values.size()) {
    throw std::invalid_argument("Trie: keys and values differ in size");
  }
  std::vector<TrieEntry> entries;
  if (!keys.empty() && !values.empty()) {
    entries.reserve(keys.size());
    for (size_t i = 0; i < keys.size(); ++i) {
      entries.push_back(TrieEntry{keys[i].begin(), keys[i].size(), values[i]});
    }
  }
  Build(entries);
}

void Trie::SetValues(const std::vector<const DictUnit*>& values) {
  // Weights are told apart by their bits, so that each node reads back
  // exactly its entry's value. An open-addressing table of indices into
  // weights_ (0: empty), kept at most half full: this runs at every load.
  std::vector<uint32_t> table(1024, 0);
  size_t mask = table.size() - 1;
  const auto bits_of = [](double w) {
    uint64_t bits;
    std::memcpy(&bits, &w, sizeof bits);
    return bits;
  };
  const auto home = [&mask](uint64_t bits) {
    return static_cast<size_t>((bits * 0x9E3779B97F4A7C15ull) >> 32) & mask;
  };
  for (size_t i = 0; i < values.size(); ++i) {
    if (values[i] == nullptr) continue;
    const double w = values[i]->weight;
    const uint64_t bits = bits_of(w);
    size_t at = home(bits);
    while (table[at] != 0 && bits_of(weights_[table[at] - 1]) != bits) at = (at + 1) & mask;
    if (table[at] == 0) {
      weights_.push_back(w);
      table[at] = static_cast<uint32_t>(weights_.size());
      if (weights_.size() * 2 > table.size()) {
        std::vector<uint32_t> grown(table.size() * 2, 0);
        mask = grown.size() - 1;
        for (uint32_t index = 1; index <= weights_.size(); ++index) {
          size_t to = home(bits_of(weights_[index - 1]));
          while (grown[to] != 0) to = (to + 1) & mask;
          grown[to] = index;
        }
        table.swap(grown);
        nodes_[i].weight = static_cast<uint32_t>(weights_.size());
        continue;
      }
    }
    nodes_[i].weight = table[at];
  }
  weights_.shrink_to_fit();
  slots_.assign(values.size(), 0);
  // Addresses are compared as integers: the entries may come from anywhere.
  const DictUnit* lowest = nullptr;
  for (const DictUnit* v : values) {
    if (v != nullptr && (lowest == nullptr || std::less<const DictUnit*>()(v, lowest))) lowest = v;
  }
  if (lowest == nullptr) return;
  const uintptr_t base = reinterpret_cast<uintptr_t>(lowest);
  bool one_array = true;
  for (size_t i = 0; i < values.size(); ++i) {
    if (values[i] == nullptr) continue;
    const uintptr_t offset = reinterpret_cast<uintptr_t>(values[i]) - base;
    if (offset % sizeof(DictUnit) != 0 ||
        offset / sizeof(DictUnit) >= std::numeric_limits<uint32_t>::max()) {
      one_array = false;
      break;
    }
    slots_[i] = static_cast<uint32_t>(offset / sizeof(DictUnit)) + 1;
  }
  if (one_array) {
    unit_base_ = lowest;
    return;
  }
  // Entries from anywhere: each node with one gets a place of its own.
  for (size_t i = 0; i < values.size(); ++i) {
    if (values[i] == nullptr) {
      slots_[i] = 0;
      continue;
    }
    values_.push_back(values[i]);
    slots_[i] = static_cast<uint32_t>(values_.size());
  }
  values_.shrink_to_fit();
}

void Trie::Build(const std::vector<TrieEntry>& entries) {
  labels_.clear();
  nodes_.clear();
  weights_.clear();
  slots_.clear();
  values_.clear();
  unit_base_ = nullptr;
  root_dense_.clear();

  std::vector<uint32_t> order;
  order.reserve(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].size > 0) order.push_back(static_cast<uint32_t>(i));
  }
  // Equal keys keep their input order, so the last of a run is the entry
  // that a later insertion would have left.
  const auto key_less = [&entries](uint32_t a, uint32_t b) {
    const TrieEntry& x = entries[a];
    const TrieEntry& y = entries[b];
    return std::lexicographical_compare(x.runes, x.runes + x.size, y.runes, y.runes + y.size);
  };
  // Dictionary files usually come sorted; checking is one pass.
  if (!std::is_sorted(order.begin(), order.end(), key_less)) {
    std::stable_sort(order.begin(), order.end(), key_less);
  }

  // Breadth first: node i covers the sorted keys [lo[i], hi[i]) that share
  // its prefix of depth[i] runes. Its children are made while it is visited,
  // so every node's children follow those of the node before it.
  std::vector<uint32_t> lo{0};
  std::vector<uint32_t> hi{static_cast<uint32_t>(order.size())};
  std::vector<uint32_t> depth{0};
  std::vector<const DictUnit*> values;
  // Words of a few runes share little: about 1.5 nodes per key.
  const size_t expected_nodes = order.size() + order.size() / 2 + 1;
  for (auto* v : {&lo, &hi, &depth, &labels_}) v->reserve(expected_nodes);
  values.reserve(expected_nodes);
  nodes_.reserve(expected_nodes + 1);
  labels_.push_back(0);
  values.push_back(nullptr);
  for (size_t node = 0; node < labels_.size(); ++node) {
    nodes_.push_back(Node{static_cast<uint32_t>(labels_.size()), 0});
    uint32_t p = lo[node];
    const uint32_t end = hi[node];
    const uint32_t d = depth[node];
    // Keys that end here sort first; the last of them wins.
    while (p < end && entries[order[p]].size == d) {
      values[node] = entries[order[p]].value;
      ++p;
    }
    while (p < end) {
      const Rune r = entries[order[p]].runes[d];
      uint32_t q = p + 1;
      while (q < end && entries[order[q]].runes[d] == r) ++q;
      if (labels_.size() >= std::numeric_limits<uint32_t>::max() - 1) {
        throw std::length_error("Trie: too many nodes");
      }
      labels_.push_back(r);
      values.push_back(nullptr);
      lo.push_back(p);
      hi.push_back(q);
      depth.push_back(d + 1);
      p = q;
    }
  }
  nodes_.push_back(Node{static_cast<uint32_t>(labels_.size()), 0});
  labels_.shrink_to_fit();
  nodes_.shrink_to_fit();
  SetValues(values);

  if (nodes_[1].first_child > nodes_[0].first_child) {
    root_dense_.assign(kDenseRoot, kNone);
    for (uint32_t c = nodes_[0].first_child; c < nodes_[1].first_child && labels_[c] < kDenseRoot;
         ++c) {
      root_dense_[labels_[c]] = c;
    }
  }
}

void Trie::InsertNode(const RuneArray& key, const DictUnit* value) {
  if (key.empty()) return;
  // Recover every key from the structure (depth first, with an explicit
  // stack), add the new one last, and rebuild.
  std::vector<std::vector<Rune>> keys;
  std::vector<const DictUnit*> vals;
  std::vector<std::pair<uint32_t, uint32_t>> stack{{0u, 0u}};  // node, depth
  std::vector<Rune> path;
  while (!stack.empty()) {
    const auto [node, d] = stack.back();
    stack.pop_back();
    path.resize(d);
    if (node != 0) path.push_back(labels_[node]);
    if (Value(node) != nullptr) {
      keys.push_back(path);
      vals.push_back(Value(node));
    }
    const uint32_t child_depth = node == 0 ? 0 : d + 1;
    for (uint32_t c = nodes_[node].first_child; c < nodes_[node + 1].first_child; ++c) {
      stack.emplace_back(c, child_depth);
    }
  }
  std::vector<TrieEntry> entries;
  entries.reserve(keys.size() + 1);
  for (size_t i = 0; i < keys.size(); ++i) {
    entries.push_back(TrieEntry{keys[i].data(), keys[i].size(), vals[i]});
  }
  entries.push_back(TrieEntry{key.begin(), key.size(), value});
  Build(entries);
}

void Trie::Find(const RuneStr* begin, const RuneStr* end, std::vector<Dag>& res,
                size_t max_word_len) const {
  // Stale records of an earlier call would leak candidates into this one.
  res.clear();
  const size_t n = end > begin ? static_cast<size_t>(end - begin) : 0;
  res.resize(n);
  for (size_t i = 0; i < n; ++i) {
    Dag& dag = res[i];
    dag.rune_str = begin[i];
    ForEachPrefix(begin + i, end, max_word_len, [&dag, i](size_t k, const DictUnit* unit) {
      dag.next_words.push_back(DagWord{i + k, unit});
    });
  }
}

const DictUnit* Trie::Find(const RuneStr* begin, const RuneStr* end) const {
  if (begin >= end) return nullptr;
  uint32_t node = RootChild(begin->rune);
  for (const RuneStr* it = begin + 1; node != kNone && it != end; ++it) {
    node = Child(node, it->rune);
  }
  return node == kNone ? nullptr : Value(node);
}

}  // namespace mira::typing::text::jieba
