// Rune trie: maps rune sequences to dictionary entries and turns a run of
// decoded runes into the lattice of candidate words.
//
// The trie is one flat, read-only structure: nodes are numbered breadth
// first, so the children of a node are a contiguous run of node numbers,
// sorted by rune; each node keeps its rune, the number of its first child,
// its entry and the entry's weight, as an index into a table of the distinct
// weights (dictionaries have few: words share frequencies, and the table
// stays in cache). Root children below U+10000
// are also found through a dense table (one probe for the first rune of
// every lookup).
//
// The Trie does not own the DictUnit records: those live in the
// dictionary's entry vector, which must outlive the Trie and not move.
// Built once, then read-only: any number of threads may call Find at the
// same time, each with its own result vector.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "tokenizer/jieba/Unicode.hpp"
#include "tokenizer/jieba/limonp/LocalVector.hpp"

namespace mira::typing::text::jieba {

// The runes of one dictionary word: either a view into a pool that outlives
// it (how the dictionary stores its entries) or a block of its own (an entry
// built by hand). 16 bytes either way.
class WordRunes {
 public:
  WordRunes() = default;
  // Copies runes into a block of its own.
  WordRunes(const RuneArray& runes);  // NOLINT: implicit, as RuneArray was
  WordRunes(const WordRunes& other);
  WordRunes(WordRunes&& other) noexcept;
  WordRunes& operator=(WordRunes other) noexcept;
  ~WordRunes();

  // A view of [data, data + size); the pool must outlive every copy.
  static WordRunes View(const Rune* data, size_t size);

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const Rune* begin() const { return data_; }
  const Rune* end() const { return data_ + size_; }
  Rune operator[](size_t i) const { return data_[i]; }
  // Appends r; a view first becomes a copy of its own.
  void push_back(Rune r);
  operator RuneArray() const { return RuneArray(begin(), end()); }  // NOLINT

 private:
  void swap(WordRunes& other) noexcept;

  const Rune* data_ = nullptr;
  uint32_t size_ = 0;
  uint32_t capacity_ = 0;  // > 0 iff data_ is a malloc'ed block owned here
};

// A part-of-speech tag: a pointer to a shared, immutable text. A dictionary
// interns its tags in a table of its own; tags made from loose strings go to
// a process-wide table that only ever holds each distinct text once.
class TagText {
 public:
  TagText();  // the empty tag
  TagText(const std::string& text);  // NOLINT: implicit, as std::string was
  TagText(const char* text);         // NOLINT
  // A tag whose text lives elsewhere (for the dictionary's own table).
  static TagText View(const std::string* text) { return TagText(text, 0); }

  const std::string& str() const { return *text_; }
  operator const std::string&() const { return *text_; }  // NOLINT
  bool empty() const { return text_->empty(); }
  size_t size() const { return text_->size(); }
  const char* c_str() const { return text_->c_str(); }

  friend bool operator==(const TagText& a, const TagText& b) { return *a.text_ == *b.text_; }
  friend bool operator==(const TagText& a, const std::string& b) { return *a.text_ == b; }
  friend bool operator==(const std::string& a, const TagText& b) { return a == *b.text_; }
  friend bool operator==(const TagText& a, const char* b) { return *a.text_ == b; }
  friend bool operator==(const char* a, const TagText& b) { return a == *b.text_; }
  template <class T>
  friend bool operator!=(const TagText& a, const T& b) {
    return !(a == b);
  }
  friend std::string operator+(const std::string& a, const TagText& b) { return a + *b.text_; }
  friend std::string operator+(const TagText& a, const std::string& b) { return *a.text_ + b; }
  friend std::ostream& operator<<(std::ostream& os, const TagText& t) { return os << *t.text_; }

 private:
  TagText(const std::string* text, int) : text_(text) {}
  const std::string* text_;
};

// One dictionary entry; weight is the natural log of its probability.
struct DictUnit {
  WordRunes runes;
  double weight = 0.0;
  TagText tag;
};

// A candidate word of a lattice position: index of its last rune within the
// searched range, and its entry (null for a lone rune that is no word).
// A plain struct rather than std::pair so that LocalVector can memcpy it.
struct DagWord {
  size_t first;
  const DictUnit* second;
};

// The candidate words that start at one rune, and the best path from there.
struct Dag {
  RuneStr rune_str;
  // The single-rune pair first, then every longer word by increasing end.
  limonp::LocalVector<DagWord> next_words;
  const DictUnit* best_unit = nullptr;
  double best_weight = 0.0;
};

// A key for building a trie: runes that stay valid while the trie is built.
struct TrieEntry {
  const Rune* runes;
  size_t size;
  const DictUnit* value;
};

class Trie {
 public:
  // Maps entries[i] in index order: a repeated key keeps the later entry,
  // an empty key is ignored.
  explicit Trie(const std::vector<TrieEntry>& entries);
  // Inserts keys[i] -> values[i] in index order; nothing if either is empty.
  // Throws std::invalid_argument when both are non-empty with unequal sizes.
  Trie(const std::vector<RuneArray>& keys, const std::vector<const DictUnit*>& values);
  Trie(const Trie&) = delete;
  Trie& operator=(const Trie&) = delete;
  Trie(Trie&&) = default;
  Trie& operator=(Trie&&) = default;

  // Maps key to value; an empty key is ignored, a repeated key is replaced.
  // Rebuilds the whole trie: meant for tests and small tries, not for bulk
  // loading (use the constructors).
  void InsertNode(const RuneArray& key, const DictUnit* value);

  // Replaces res with one Dag per rune of [begin, end), listing the words of
  // at most max_word_len runes that start there (the single rune always).
  void Find(const RuneStr* begin, const RuneStr* end, std::vector<Dag>& res,
            size_t max_word_len = 512) const;

  // The entry whose word is exactly the runes of [begin, end), or null.
  const DictUnit* Find(const RuneStr* begin, const RuneStr* end) const;

  // Calls visit(k, unit) for the words that start at begin[0], in the order
  // of the lattice: first (0, entry of the single rune or null), then
  // (k, entry) for every word of runes begin[0..k] with k < max_word_len and
  // begin + k < end. Needs begin < end.
  template <class Visit>
  void ForEachPrefix(const RuneStr* begin, const RuneStr* end, size_t max_word_len,
                     Visit&& visit) const {
    uint32_t node = RootChild(begin->rune);
    visit(size_t{0}, node == kNone ? nullptr : Value(node));
    if (node == kNone) return;
    const size_t n = static_cast<size_t>(end - begin);
    const size_t limit = n < max_word_len ? n : max_word_len;
    for (size_t j = 1; j < limit; ++j) {
      node = Child(node, begin[j].rune);
      if (node == kNone) return;
      const DictUnit* unit = Value(node);
      if (unit != nullptr) visit(j, unit);
    }
  }

  // As ForEachPrefix, but calls visit(k, weight) with the entry's weight
  // (missing_weight for a single rune that is no word): the walk reads only
  // the node records, never the entries.
  template <class Visit>
  void ForEachPrefixWeight(const RuneStr* begin, const RuneStr* end, size_t max_word_len,
                           double missing_weight, Visit&& visit) const {
    uint32_t node = RootChild(begin->rune);
    if (node == kNone) {
      visit(size_t{0}, missing_weight);
      return;
    }
    const uint32_t first = nodes_[node].weight;
    visit(size_t{0}, first != 0 ? weights_[first - 1] : missing_weight);
    const size_t n = static_cast<size_t>(end - begin);
    const size_t limit = n < max_word_len ? n : max_word_len;
    for (size_t j = 1; j < limit; ++j) {
      node = Child(node, begin[j].rune);
      if (node == kNone) return;
      const uint32_t weight = nodes_[node].weight;
      if (weight != 0) visit(j, weights_[weight - 1]);
    }
  }

  // Number of nodes, the root included.
  size_t NodeCount() const { return labels_.size(); }

 private:
  static constexpr uint32_t kNone = 0;  // the root is nobody's child
  static constexpr Rune kDenseRoot = 0x10000;

  void Build(const std::vector<TrieEntry>& entries);
  // Fills the node records from one entry (or null) per node.
  void SetValues(const std::vector<const DictUnit*>& values);
  uint32_t RootChild(Rune r) const {
    if (r < kDenseRoot) return root_dense_.empty() ? kNone : root_dense_[r];
    return Child(0, r);
  }
  // Inline: the walk makes one call per rune of every candidate word.
  // Halving without a branch on the comparison (a conditional move): the
  // runes looked up are text, so the branch of a scan or of a plain binary
  // search is often mispredicted. Ends at the last label <= r.
  uint32_t Child(uint32_t node, Rune r) const {
    const Rune* base = labels_.data() + nodes_[node].first_child;
    size_t len = nodes_[node + 1].first_child - nodes_[node].first_child;
    if (len == 0) return kNone;
    while (len > 1) {
      const size_t half = len / 2;
      base = base[half] <= r ? base + half : base;
      len -= half;
    }
    return *base == r ? static_cast<uint32_t>(base - labels_.data()) : kNone;
  }
  const DictUnit* Value(uint32_t node) const {
    const uint32_t slot = slots_[node];
    if (slot == 0) return nullptr;
    return unit_base_ != nullptr ? unit_base_ + (slot - 1) : values_[slot - 1];
  }

  // What the walk reads of a node, in one record so that a step costs one
  // cache line besides the rune scan: the number of its first child (the
  // children of node i are [nodes_[i].first_child, nodes_[i + 1].first_child))
  // and its weight, 1 + an index into weights_ (0: the node has no entry).
  struct Node {
    uint32_t first_child;
    uint32_t weight;
  };

  // Per node: its rune (0 for the root).
  std::vector<Rune> labels_;
  // One record per node plus one whose first_child ends the last run.
  std::vector<Node> nodes_;
  // The distinct weights of the entries.
  std::vector<double> weights_;
  // Per node, its entry: 0 for none; when the entries all lie in one array
  // (a dictionary's entry vector) 1 + the entry's index in that array,
  // otherwise 1 + an index into values_.
  std::vector<uint32_t> slots_;
  const DictUnit* unit_base_ = nullptr;
  std::vector<const DictUnit*> values_;
  // Root child of each rune below kDenseRoot, kNone if absent.
  std::vector<uint32_t> root_dense_;
};

}  // namespace mira::typing::text::jieba
