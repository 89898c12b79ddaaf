// Lenient recursive-descent reader for JSON text. Problems are reported as
// one line each on std::cerr and the level that met them returns a fallback;
// the enclosing levels carry on from where it stopped.
#include <charconv>
#include <cmath>
#include <iostream>
#include <stdexcept>
#include <string>
#include <utility>

#include "json/JSON.hpp"

// Keeps the rarely used helpers out of the recursive frames.
#if defined(__GNUC__) || defined(__clang__)
#define MIRA_NOINLINE __attribute__((noinline))
#else
#define MIRA_NOINLINE
#endif

namespace mira::typing::text::json {
namespace {

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHex(char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
bool EndsNumber(char c) { return IsSpace(c) || c == ',' || c == ']' || c == '}'; }

// std::stod of the longest valid prefix, but always with a decimal point:
// std::stod follows the C library's locale, which the host may have changed.
double ToDouble(const std::string& text) {
  double value = 0.0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  if (result.ec == std::errc::invalid_argument) throw std::invalid_argument("stod");
  if (result.ec == std::errc::result_out_of_range) throw std::out_of_range("stod");
  return value;
}

// The offending text for a message: in full up to kShownNumber bytes, else
// its start, "...", and its length, so a huge number cannot flood the message.
constexpr std::size_t kShownNumber = 40;
MIRA_NOINLINE std::string Quoted(const std::string& number) {
  if (number.size() <= kShownNumber) return "'" + number + "'";
  return "'" + number.substr(0, kShownNumber) + "...' (" + std::to_string(number.size()) +
         " bytes)";
}

// Invariant: offset_ never passes the end of the text; reading at the end
// yields NUL, which no construct accepts, so each one stops there.
class Parser {
 public:
  explicit Parser(const std::string& text) : text_(text) {}

  JSON ParseNext() {
    SkipSpace();
    const char c = Current();
    switch (c) {
      case '{': return CanNest() ? ParseObject() : TooDeep(c, Object());
      case '[': return CanNest() ? ParseArray() : TooDeep(c, Array());
      case '"': return ParseString();
      case 't':
      case 'f': return ParseBool();
      case 'n': return ParseNull();
      default:
        if (c == '-' || IsDigit(c)) return ParseNumber();
        Report("ERROR: Parse: Unknown starting character '", c);
        return JSON();
    }
  }

 private:
  // Tracks one level of container nesting for the lifetime of a parse call.
  class Level {
   public:
    explicit Level(int& depth) : depth_(depth) { ++depth_; }
    ~Level() { --depth_; }
    Level(const Level&) = delete;
    Level& operator=(const Level&) = delete;

   private:
    int& depth_;
  };

  char At(std::size_t i) const { return i < text_.size() ? text_[i] : '\0'; }
  char Current() const { return At(offset_); }
  void SkipSpace() {
    while (IsSpace(Current())) ++offset_;
  }

  bool CanNest() const { return depth_ < JSON::kMaxDepth; }

  // Past the depth limit the whole parse stops: the text is treated as ended
  // and every open level returns its fallback without reporting again.
  MIRA_NOINLINE JSON TooDeep(char c, JSON fallback) {
    Report("ERROR: Parse: Nesting deeper than " + std::to_string(JSON::kMaxDepth) +
               " levels, found '",
           std::string(1, c));
    stopped_ = true;
    offset_ = text_.size();
    return fallback;
  }

  MIRA_NOINLINE static void Report(const std::string& message, const std::string& found) {
    std::cerr << message + found + "'\n";
  }
  MIRA_NOINLINE static void Report(const char* message, char found) {
    Report(std::string(message), std::string(1, found));
  }

  // The key is kept as parsed bytes, so escaped keys read back exactly.
  MIRA_NOINLINE static void Store(JSON& object, const JSON& key, JSON& value) {
    object[key.StringBytes()] = std::move(value);
  }
  MIRA_NOINLINE static void Append(JSON& array, std::size_t index, JSON& element) {
    array[index] = std::move(element);
  }

  JSON ParseObject() {
    Level level(depth_);
    JSON result = Object();
    ++offset_;
    SkipSpace();
    if (Current() == '}') {
      ++offset_;
      return result;
    }
    while (true) {
      JSON key = ParseNext();
      if (stopped_) return result;
      SkipSpace();
      if (Current() != ':') {
        Report("Error: Object: Expected colon, found '", Current());
        return result;
      }
      ++offset_;
      SkipSpace();
      JSON value = ParseNext();
      Store(result, key, value);
      if (stopped_) return result;
      SkipSpace();
      const char c = Current();
      if (c == ',') {
        ++offset_;
        continue;
      }
      if (c == '}') {
        ++offset_;
        return result;
      }
      Report("ERROR: Object: Expected comma, found '", c);
      return result;
    }
  }

  JSON ParseArray() {
    Level level(depth_);
    JSON result = Array();
    ++offset_;
    SkipSpace();
    if (Current() == ']') {
      ++offset_;
      return result;
    }
    for (std::size_t index = 0;; ++index) {
      JSON element = ParseNext();
      if (stopped_) return Array();
      Append(result, index, element);
      SkipSpace();
      const char c = Current();
      if (c == ',') {
        ++offset_;
        continue;
      }
      if (c == ']') {
        ++offset_;
        return result;
      }
      Report("ERROR: Array: Expected ',' or ']', found '", c);
      return Array();
    }
  }

  MIRA_NOINLINE JSON ParseString() {
    std::string bytes;
    while (true) {
      ++offset_;
      if (offset_ >= text_.size()) return Unterminated();
      const char c = text_[offset_];
      if (c == '"') {
        ++offset_;
        JSON result;
        result = std::move(bytes);
        return result;
      }
      if (c != '\\') {
        bytes += c;
        continue;
      }
      ++offset_;
      if (offset_ >= text_.size()) return Unterminated();
      switch (text_[offset_]) {
        case '"': bytes += '"'; break;
        case '/': bytes += '/'; break;
        case '\\': bytes += '\\'; break;
        case 'b': bytes += '\b'; break;
        case 'f': bytes += '\f'; break;
        case 'n': bytes += '\n'; break;
        case 'r': bytes += '\r'; break;
        case 't': bytes += '\t'; break;
        case 'u':
          // Kept undecoded: the six characters stay as they stood.
          bytes += "\\u";
          for (std::size_t i = 1; i <= 4; ++i) {
            const char h = At(offset_ + i);
            if (!IsHex(h)) {
              Report("ERROR: String: Expected hex character in unicode escape, found '",
                     std::string(1, h));
              JSON result;
              result = std::string();
              return result;
            }
            bytes += h;
          }
          offset_ += 4;
          break;
        default: bytes += '\\'; break;
      }
    }
  }

  JSON Unterminated() {
    offset_ = text_.size();
    Report("ERROR: String: Expected '\"' before the end of the text, found '",
           std::string(1, '\0'));
    JSON result;
    result = std::string();
    return result;
  }

  MIRA_NOINLINE JSON ParseNumber() {
    const std::size_t start = offset_;
    std::string mantissa;
    bool floating = false;
    char c = Current();
    for (; c == '-' || c == '.' || IsDigit(c); c = Current()) {
      if (c == '.') floating = true;
      mantissa += c;
      ++offset_;
    }
    bool has_exponent = false;
    std::string exponent;
    if (c == 'e' || c == 'E') {
      has_exponent = true;
      ++offset_;
      if (Current() == '-') {
        exponent += '-';
        ++offset_;
      }
      while (IsDigit(Current())) exponent += text_[offset_++];
      if (!EndsNumber(Current())) {
        Report("ERROR: Number: Expected a number for exponent, found '",
               std::string(1, Current()));
        return JSON();
      }
    } else if (!EndsNumber(c)) {
      Report("ERROR: Number: unexpected character '", std::string(1, c));
      if (offset_ < text_.size()) ++offset_;
      return JSON();
    }
    const std::string number = text_.substr(start, offset_ - start);
    JSON result;
    try {
      const long long power = has_exponent ? std::stoll(exponent, nullptr, 10) : 0;
      if (floating) {
        result = ToDouble(mantissa) * std::pow(10.0, static_cast<double>(power));
      } else if (has_exponent) {
        result = static_cast<double>(std::stoll(mantissa, nullptr, 10)) *
                 std::pow(10.0, static_cast<double>(power));
      } else {
        result = static_cast<int64_t>(std::stoll(mantissa, nullptr, 10));
      }
    } catch (const std::out_of_range&) {
      throw std::out_of_range("JSON number out of range: " + Quoted(number));
    } catch (const std::invalid_argument&) {
      throw std::invalid_argument("Invalid JSON number: " + Quoted(number));
    }
    return result;
  }

  MIRA_NOINLINE JSON ParseBool() {
    if (text_.compare(offset_, 4, "true") == 0) {
      offset_ += 4;
      JSON result;
      result = true;
      return result;
    }
    if (text_.compare(offset_, 5, "false") == 0) {
      offset_ += 5;
      JSON result;
      result = false;
      return result;
    }
    Report("ERROR: Bool: Expected 'true' or 'false', found '", text_.substr(offset_, 5));
    return JSON();
  }

  MIRA_NOINLINE JSON ParseNull() {
    if (text_.compare(offset_, 4, "null") == 0) {
      offset_ += 4;
    } else {
      Report("ERROR: Null: Expected 'null', found '", text_.substr(offset_, 4));
    }
    return JSON();
  }

  const std::string& text_;
  std::size_t offset_ = 0;
  int depth_ = 0;
  bool stopped_ = false;
};

}  // namespace

JSON JSON::Load(const std::string& text) { return Parser(text).ParseNext(); }

}  // namespace mira::typing::text::json
