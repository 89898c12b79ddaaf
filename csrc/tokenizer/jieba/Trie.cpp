#include "tokenizer/jieba/Trie.hpp"

#include <stdexcept>
#include <utility>

namespace mira::typing::text::jieba {

namespace {

const TrieNode* Child(const TrieNode* node, Rune r) {
  if (node->children == nullptr) return nullptr;
  const auto it = node->children->find(r);
  return it == node->children->end() ? nullptr : it->second;
}

}  // namespace

Trie::Trie(const std::vector<RuneArray>& keys, const std::vector<const DictUnit*>& values)
    : root(new TrieNode) {
  if (keys.empty() || values.empty()) return;
  if (keys.size() != values.size()) {
    DeleteNode(root);
    throw std::invalid_argument("Trie: keys and values differ in size");
  }
  try {
    for (size_t i = 0; i < keys.size(); ++i) InsertNode(keys[i], values[i]);
  } catch (...) {
    DeleteNode(root);
    throw;
  }
}

Trie::~Trie() { DeleteNode(root); }

void Trie::InsertNode(const RuneArray& key, const DictUnit* value) {
  if (key.empty()) return;
  TrieNode* node = root;
  for (const Rune r : key) {
    if (node->children == nullptr) {
      node->children = new TrieNode::ChildMap;
      node->children->max_load_factor(1.0f);
    }
    TrieNode*& child = (*node->children)[r];
    if (child == nullptr) child = new TrieNode;
    node = child;
  }
  node->value = value;
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
    const TrieNode* node = Child(root, begin[i].rune);
    dag.next_words.push_back(DagWord{i, node == nullptr ? nullptr : node->value});
    if (node == nullptr) continue;
    for (size_t j = i + 1; j < n; ++j) {
      if (j - i + 1 > max_word_len) break;
      node = Child(node, begin[j].rune);
      if (node == nullptr) break;
      if (node->value != nullptr) dag.next_words.push_back(DagWord{j, node->value});
    }
  }
}

const DictUnit* Trie::Find(const RuneStr* begin, const RuneStr* end) const {
  if (begin >= end) return nullptr;
  const TrieNode* node = root;
  for (const RuneStr* it = begin; it != end; ++it) {
    node = Child(node, it->rune);
    if (node == nullptr) return nullptr;
  }
  return node->value;
}

void Trie::DeleteNode(TrieNode* node) {
  // An explicit stack: a very long dictionary word must not exhaust the
  // call stack on destruction.
  std::vector<TrieNode*> pending;
  if (node != nullptr) pending.push_back(node);
  while (!pending.empty()) {
    TrieNode* current = pending.back();
    pending.pop_back();
    if (current->children != nullptr) {
      for (const auto& entry : *current->children) pending.push_back(entry.second);
      delete current->children;
    }
    delete current;
  }
}

}  // namespace mira::typing::text::jieba
