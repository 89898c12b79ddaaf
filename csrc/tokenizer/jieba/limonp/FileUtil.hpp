// Opening the segmenter's data files.
#pragma once

#include <fstream>
#include <string>
#include <string_view>

namespace mira::typing::text::limonp {

// Opens path for reading; leaves ifs closed when path holds a NUL byte (the
// file system would see a shorter path) or names a directory (it would read
// as an empty file). Either way the loader's open check then fails.
void OpenDataFile(std::ifstream& ifs, const std::string& path);

// Reads the rest of an open stream into content (replaced).
void ReadAll(std::ifstream& ifs, std::string& content);

// Walks the lines of a text as std::getline would: lines end at a newline
// byte, which is not part of the line; a last line without one still counts,
// and a text ending in a newline has no empty last line. The views point
// into the text, which must outlive them.
class LineCursor {
 public:
  explicit LineCursor(std::string_view text) : text_(text) {}
  // The next line, or false at the end.
  bool Next(std::string_view& line) {
    if (pos_ >= text_.size()) return false;
    const size_t end = text_.find('\n', pos_);
    if (end == std::string_view::npos) {
      line = text_.substr(pos_);
      pos_ = text_.size();
    } else {
      line = text_.substr(pos_, end - pos_);
      pos_ = end + 1;
    }
    return true;
  }

 private:
  std::string_view text_;
  size_t pos_ = 0;
};

}  // namespace mira::typing::text::limonp
