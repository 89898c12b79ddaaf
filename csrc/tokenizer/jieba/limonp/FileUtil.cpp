#include "tokenizer/jieba/limonp/FileUtil.hpp"

#include <filesystem>
#include <system_error>

namespace mira::typing::text::limonp {

void OpenDataFile(std::ifstream& ifs, const std::string& path) {
  if (path.find('\0') != std::string::npos) return;
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) return;
  ifs.open(path.c_str());
}

void ReadAll(std::ifstream& ifs, std::string& content) {
  content.clear();
  char chunk[1 << 16];
  while (ifs.read(chunk, sizeof(chunk)) || ifs.gcount() > 0) {
    content.append(chunk, static_cast<size_t>(ifs.gcount()));
  }
}

}  // namespace mira::typing::text::limonp
