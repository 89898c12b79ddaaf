// Diagnostic lines on standard error and the fatal check.
//
// A line reads "<local time> <file>:<line> <LEVEL> <message>". The location
// is given explicitly at each report site: it is part of the documented
// diagnostic output, not the build machine's path.
//
// A failed check writes its FATAL line and then throws: FileOpenError when a
// file cannot be opened, BadContentError when loaded content or an invariant
// is wrong. Nothing here aborts the process.
//
// Thread safety: a Logger is a local object; lines are written whole.
#pragma once

#include <cstddef>
#include <sstream>
#include <stdexcept>
#include <string>

namespace mira::typing::text::limonp {

enum { LL_DEBUG = 0, LL_INFO = 1, LL_WARN = 2, LL_ERROR = 3, LL_FATAL = 4 };

extern const char* const LOG_LEVEL_ARRAY[5];

// Base of every failed fatal check; what() is the text after the level.
class FatalError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
// A data file could not be opened.
class FileOpenError : public FatalError {
 public:
  using FatalError::FatalError;
};
// A data file or an invariant is malformed.
class BadContentError : public FatalError {
 public:
  using FatalError::FatalError;
};

// Collects one line and writes it to standard error when destroyed.
class Logger {
 public:
  Logger(size_t level, const char* filename, int lineno);
  ~Logger();
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  std::ostream& Stream() { return stream_; }
  // Index of the line's level in LOG_LEVEL_ARRAY.
  size_t Level() const { return level; }
  // The message written after the "<LEVEL> " prefix so far.
  std::string Message() const;

 private:
  std::ostringstream stream_;
  size_t level;
  size_t prefix_length_;
};

// Writes the FATAL line and throws Error carrying the message.
template <class Error>
[[noreturn]] void Fatal(const char* filename, int lineno, const std::string& message) {
  {
    Logger logger(LL_FATAL, filename, lineno);
    logger.Stream() << message;
  }
  throw Error(message);
}

}  // namespace mira::typing::text::limonp

// Logs one line at the given level and location: XLOG_AT(ERROR, file, line) << ...;
#define XLOG_AT(level, file, line) \
  ::mira::typing::text::limonp::Logger(::mira::typing::text::limonp::LL_##level, file, line).Stream()

// Fatal check: when exp is false, writes "exp: [<exp>] false. <explanation>"
// as a FATAL line at the given location and throws Error. The explanation is
// a stream expression, e.g. "open " << path << " failed.".
#define XCHECK_AT(exp, Error, file, line, explanation)                                      \
  do {                                                                                      \
    if (!(exp)) {                                                                           \
      std::ostringstream xcheck_message_;                                                   \
      xcheck_message_ << "exp: [" #exp "] false. " explanation;                             \
      ::mira::typing::text::limonp::Fatal<Error>(file, line, xcheck_message_.str());        \
    }                                                                                       \
  } while (false)
