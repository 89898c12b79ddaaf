#include "common/CharFold.hpp"

#include <cstddef>

#include "common/Utf8.hpp"

namespace mira::typing::text {

bool FoldText(std::string_view text, std::string& out) {
  // Most text has nothing to fold: find the first code point that does
  // before copying anything.
  std::size_t i = 0;
  std::size_t n = 0;
  uint32_t folded = 0;
  for (; i < text.size(); i += n == 0 ? 1 : n) {
    // Lead bytes E3 to E9 start U+3000 to U+9FFF (CJK), where nothing folds
    // (the generated table's gap holds that range).
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead >= 0xE3 && lead <= 0xE9 && text.size() - i >= 3) {
      n = 3;
      continue;
    }
    const uint32_t cp = DecodeUtf8(text, i, n);
    if (n != 0 && (folded = FoldChar(cp)) != cp) break;
  }
  if (i >= text.size()) return false;
  out.reserve(text.size());
  out.assign(text.data(), i);
  AppendUtf8(folded, out);
  // Runs that come out as they are (bytes that do not decode, and code
  // points that do not fold written in their shortest form) are copied whole.
  std::size_t copied = i + n;
  for (i += n; i < text.size(); i += n == 0 ? 1 : n) {
    const uint32_t cp = DecodeUtf8(text, i, n);
    if (n == 0) continue;
    const uint32_t to = FoldChar(cp);
    const std::size_t shortest = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    if (to == cp && n == shortest) continue;
    out.append(text.data() + copied, i - copied);
    AppendUtf8(to, out);
    copied = i + n;
  }
  out.append(text.data() + copied, text.size() - copied);
  return true;
}

}  // namespace mira::typing::text
