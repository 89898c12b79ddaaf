#include "encoder/ScriptTable.hpp"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "common/Utf8.hpp"
#include "tokenizer/jieba/limonp/Logging.hpp"

namespace mira::typing::text {
namespace {

// The number of code points of well-formed UTF-8 text, or 0 for text that
// is empty or not well-formed.
std::size_t CodePoints(std::string_view text) {
  std::size_t count = 0;
  for (std::size_t i = 0, n = 0; i < text.size(); i += n, ++count) {
    DecodeUtf8(text, i, n);
    if (n == 0) return 0;
  }
  return count;
}

[[noreturn]] void Malformed(const std::string& path, std::size_t line, const std::string& why) {
  std::ostringstream message;
  message << path << ":" << line << ": " << why;
  throw limonp::BadContentError(message.str());
}

}  // namespace

ScriptTable::ScriptTable(const std::string& path) : path_(path), starters_(0x10000 / 64, 0) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw limonp::FileOpenError("cannot open the script table " + path);
  std::string line;
  std::string previous;
  std::size_t number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t tab = line.find('\t');
    if (tab == std::string::npos || tab == 0 || tab + 1 == line.size() ||
        line.find('\t', tab + 1) != std::string::npos) {
      Malformed(path, number, "expected FROM<TAB>TO");
    }
    const std::string from = line.substr(0, tab);
    std::string to = line.substr(tab + 1);
    const std::size_t length = CodePoints(from);
    if (length == 0 || CodePoints(to) == 0) Malformed(path, number, "not UTF-8 text");
    if (CodePoints(to) != length) Malformed(path, number, "FROM and TO differ in length");
    if (number > 1 && !(previous < from)) {
      Malformed(path, number, "FROM out of byte order or repeated");
    }
    if (length > 64) Malformed(path, number, "FROM longer than 64 characters");
    index_[from] = static_cast<int64_t>(to_.size());
    to_.push_back(std::move(to));
    std::size_t n = 0;
    const uint32_t first = DecodeUtf8(from, 0, n);
    if (first < 0x10000) starters_[first / 64] |= uint64_t{1} << (first % 64);
    lengths_[first] |= uint64_t{1} << (length - 1);
    previous = from;
  }
  if (in.bad()) throw limonp::FileOpenError("cannot read the script table " + path);
}

uint64_t ScriptTable::Lengths(uint32_t code_point) const {
  const auto found = lengths_.find(code_point);
  return found == lengths_.end() ? 0 : found->second;
}

int64_t ScriptTable::Find(std::string_view from) const {
  const auto found = index_.find(from);
  return found == index_.end() ? -1 : found->second;
}

bool ScriptTable::Fold(std::string_view text, std::string& out) const {
  std::string folded;
  bool changed = false;
  std::size_t copied = 0;  // text[0, copied) is in folded, or nothing folded yet
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t n = 0;
    const uint32_t cp = DecodeUtf8(text, i, n);
    const bool starter =
        n != 0 && (cp >= 0x10000 || (starters_[cp / 64] >> (cp % 64) & 1) != 0);
    uint64_t lengths = starter ? Lengths(cp) : 0;
    if (lengths == 0) {
      i += n == 0 ? 1 : n;
      continue;
    }
    // The byte ends of the code points from i, as far as the longest FROM
    // starting here reaches; then each length that some FROM has, longest first.
    std::size_t ends[64];
    std::size_t count = 0;
    const std::size_t longest = 64 - static_cast<std::size_t>(__builtin_clzll(lengths));
    for (std::size_t end = i, step = n; count < longest && step != 0; ++count) {
      end += step;
      ends[count] = end;
      if (end < text.size()) DecodeUtf8(text, end, step);
      else step = 0;
    }
    int64_t entry = -1;
    std::size_t match = 0;
    while (lengths != 0 && entry < 0) {
      const std::size_t k = 64 - static_cast<std::size_t>(__builtin_clzll(lengths));
      lengths &= ~(uint64_t{1} << (k - 1));
      if (k > count) continue;
      match = ends[k - 1];
      entry = Find(text.substr(i, match - i));
    }
    if (entry < 0) {
      i += n;
      continue;
    }
    if (!changed) folded.reserve(text.size() + 8);
    folded.append(text.data() + copied, i - copied);
    folded += to_[static_cast<std::size_t>(entry)];
    changed = true;
    i = copied = match;
  }
  if (!changed) return false;
  folded.append(text.data() + copied, text.size() - copied);
  out = std::move(folded);
  return true;
}

}  // namespace mira::typing::text
