#include "tokenizer/jieba/limonp/StringUtil.hpp"

namespace mira::typing::text::limonp {

void Split(const std::string& src, std::vector<std::string>& res, const std::string& pattern,
           size_t maxsplit) {
  res.clear();
  size_t start = 0;
  while (start < src.size()) {
    const size_t end = pattern.empty() ? std::string::npos : src.find_first_of(pattern, start);
    if (end == std::string::npos || res.size() >= maxsplit) {
      res.push_back(src.substr(start));
      return;
    }
    res.push_back(src.substr(start, end - start));
    start = end + 1;
  }
}

}  // namespace mira::typing::text::limonp
