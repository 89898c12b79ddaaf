// Rune trie: maps rune sequences to dictionary entries and turns a run of
// decoded runes into the lattice of candidate words (one Dag per rune).
//
// The Trie owns its nodes and child maps, not the DictUnit records: those
// live in the dictionary's entry vector, which must outlive the Trie and not
// move. Built once, then read-only: any number of threads may call Find at
// the same time, each with its own result vector.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

#include "tokenizer/jieba/Unicode.hpp"
#include "tokenizer/jieba/limonp/LocalVector.hpp"

namespace mira::typing::text::jieba {

// One dictionary entry; weight is the natural log of its probability.
struct DictUnit {
  RuneArray runes;
  double weight = 0.0;
  std::string tag;
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

// Runes are already well spread; hashing them again buys nothing.
struct RuneIdentityHash {
  size_t operator()(Rune r) const noexcept { return static_cast<size_t>(r); }
};

struct TrieNode {
  using ChildMap = std::unordered_map<Rune, TrieNode*, RuneIdentityHash>;
  ChildMap* children = nullptr;     // null until the first child is added
  const DictUnit* value = nullptr;  // entry whose word ends here, if any
};

class Trie {
 public:
  // Inserts keys[i] -> values[i] in index order; nothing if either is empty.
  // Throws std::invalid_argument when both are non-empty with unequal sizes.
  Trie(const std::vector<RuneArray>& keys, const std::vector<const DictUnit*>& values);
  ~Trie();
  Trie(const Trie&) = delete;
  Trie& operator=(const Trie&) = delete;

  // Maps key to value; an empty key is ignored, a repeated key is replaced.
  void InsertNode(const RuneArray& key, const DictUnit* value);

  // Replaces res with one Dag per rune of [begin, end), listing the words of
  // at most max_word_len runes that start there (the single rune always).
  void Find(const RuneStr* begin, const RuneStr* end, std::vector<Dag>& res,
            size_t max_word_len = 512) const;

  // The entry whose word is exactly the runes of [begin, end), or null.
  const DictUnit* Find(const RuneStr* begin, const RuneStr* end) const;

 private:
  static void DeleteNode(TrieNode* node);

  TrieNode* root;
};

}  // namespace mira::typing::text::jieba
