// Feeds arbitrary bytes to JSON::Load, then exercises the tree it returns:
// copy, print, and read the printed text back. The same bytes as a BM25 model
// file: a load that fails changes nothing, one that succeeds keeps no
// negative count.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "bm25/BM25.hpp"
#include "fuzz_support.hpp"
#include "json/JSON.hpp"

namespace {

using mira::typing::text::BM25;
using mira::typing::text::json::JSON;

JSON LoadOrNull(const std::string& text) {
  try {
    return JSON::Load(text);
  } catch (const std::invalid_argument&) {
  } catch (const std::out_of_range&) {
  }
  return JSON();
}

int Depth(const JSON& value) {
  int deepest = 0;
  for (const JSON& element : value.ArrayElements()) deepest = std::max(deepest, Depth(element));
  for (const auto& member : value.ObjectEntries()) deepest = std::max(deepest, Depth(member.second));
  const bool container =
      value.GetKind() == JSON::Kind::Array || value.GetKind() == JSON::Kind::Object;
  return deepest + (container ? 1 : 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  mira_fuzz::SilenceDiagnostics();

  const std::string text(reinterpret_cast<const char*>(data), size);
  JSON value = LoadOrNull(text);
  JSON copy = value;
  const std::string printed = copy.dump(1, "  ");
  if (printed != value.dump(1, "  ")) __builtin_trap();
  // Printed text without doubles (their six decimals are lossy) must read
  // back to the same print, unless the parser stopped at its depth limit.
  if (Depth(value) <= JSON::kMaxDepth && printed.find('.') == std::string::npos && printed.find("inf") == std::string::npos &&
      printed.find("nan") == std::string::npos) {
    const JSON again = LoadOrNull(printed + " ");
    if (again.dump(1, "  ") != printed) __builtin_trap();
  }
  JSON& alias = value;
  value = alias;
  if (value.dump(1, "  ") != printed) __builtin_trap();

  static const BM25 trained = [] {
    BM25 model(0.5, 1.5);
    model.train(std::vector<std::string>{"a", "b", "a"});
    return model;
  }();
  BM25 model = trained;
  try {
    model.load(text);
  } catch (const std::exception&) {
    if (model.doc_count() != trained.doc_count() || model.b() != trained.b() ||
        model.k1() != trained.k1() || model.doc_length_average() != trained.doc_length_average() ||
        model.doc_token_frequency() != trained.doc_token_frequency()) {
      __builtin_trap();
    }
    return 0;
  }
  if (model.doc_count() < 0) __builtin_trap();
  for (const auto& entry : model.doc_token_frequency()) {
    if (entry.second < 0) __builtin_trap();
  }
  return 0;
}
