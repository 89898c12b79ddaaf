#include "tokenizer/jieba/limonp/Logging.hpp"

#include <ctime>
#include <iostream>

namespace mira::typing::text::limonp {

const char* const LOG_LEVEL_ARRAY[5] = {"DEBUG", "INFO", "WARN", "ERROR", "FATAL"};

Logger::Logger(size_t level, const char* filename, int lineno) : level(level) {
  char time_text[32];
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  std::strftime(time_text, sizeof(time_text), "%Y-%m-%d %H:%M:%S", &local);
  const char* name = level < 5 ? LOG_LEVEL_ARRAY[level] : "";
  stream_ << time_text << " " << filename << ":" << lineno << " " << name << " ";
  prefix_length_ = stream_.str().size();
}

Logger::~Logger() {
  // One write for the whole line keeps lines of concurrent threads apart.
  std::string line = stream_.str();
  line.push_back('\n');
  std::cerr.write(line.data(), static_cast<std::streamsize>(line.size()));
  std::cerr.flush();
}

std::string Logger::Message() const { return stream_.str().substr(prefix_length_); }

}  // namespace mira::typing::text::limonp
