// Feeds arbitrary bytes to JSON::Load, then exercises the tree it returns:
// copy, print, and read the printed text back.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iostream>
#include <stdexcept>
#include <streambuf>
#include <string>

#include "json/JSON.hpp"

namespace {

using mira::typing::text::json::JSON;

// Swallows the parser's diagnostics so the fuzzer's own output stays readable.
class NullBuffer : public std::streambuf {
 protected:
  int overflow(int c) override { return c; }
};

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
  static NullBuffer sink;
  static std::streambuf* const original = std::cerr.rdbuf(&sink);
  (void)original;

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
  return 0;
}
