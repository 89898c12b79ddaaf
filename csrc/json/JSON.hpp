// JSON document model: a tagged value with heap-held containers, a lenient
// recursive-descent parser and a pretty-printing writer. Used for the BM25
// model file.
//
// Invariants: a value owns at most one heap block (map, deque or string),
// chosen by its kind; copies are deep and nothing is shared, so destroying a
// root frees the whole tree. A moved-from value is Null. Object members are
// kept in byte-wise key order, which is the order of every traversal.
//
// Thread safety: none. A value and its tree belong to one thread at a time;
// Load keeps no state outside its call and may run on several texts at once.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <ostream>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace mira::typing::text::json {

class JSON {
 public:
  // The numbers are fixed: stored tags and the writer rely on them.
  enum class Kind : int32_t {
    Null = 0,
    Object = 1,
    Array = 2,
    String = 3,
    Floating = 4,
    Integral = 5,
    Boolean = 6,
  };

  using ObjectMap = std::map<std::string, JSON>;
  using ArrayList = std::deque<JSON>;

  // Containers deeper than this are refused by Load, so that parsing,
  // copying, printing and destroying a parsed tree stay within a small stack.
  static constexpr int kMaxDepth = 1000;

  JSON() noexcept { Internal.Int = 0; }
  JSON(const JSON& other);
  JSON(JSON&& other) noexcept;
  ~JSON();

  // Safe when other is this value or lives inside it.
  JSON& operator=(const JSON& other);
  // Leaves other Null; safe when other is this value or lives inside it.
  JSON& operator=(JSON&& other) noexcept;

  template <typename T,
            std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>, int> = 0>
  JSON& operator=(T value) {
    SetKind(Kind::Integral);
    Internal.Int = static_cast<int64_t>(value);
    return *this;
  }
  // A template so that pointers and other scalars never convert to bool.
  template <typename T, std::enable_if_t<std::is_same_v<T, bool>, int> = 0>
  JSON& operator=(T value) {
    SetKind(Kind::Boolean);
    Internal.Int = 0;
    Internal.Bool = value;
    return *this;
  }
  JSON& operator=(double value);
  JSON& operator=(std::string value);
  JSON& operator=(const char* value) { return *this = std::string(value); }

  // Changes the kind, discarding other content; a no-op for the same kind.
  void SetKind(Kind kind);
  Kind GetKind() const { return Type; }

  // Turns the value into an Object and returns the member, inserting Null.
  JSON& operator[](const std::string& key);
  // Turns the value into an Array, grows it with Null up to index, returns it.
  JSON& operator[](std::size_t index);

  // The payload when the kind matches (ok = true), else 0 / 0.0 (ok = false).
  int64_t ToInt(bool& ok) const;
  double ToFloat(bool& ok) const;
  bool ToBool(bool& ok) const;
  // The escaped form of a String (as written between quotes); "" otherwise.
  std::string ToString() const;
  // The raw bytes of a String; empty otherwise.
  const std::string& StringBytes() const;

  // Members of an Object in key order; empty for other kinds.
  const ObjectMap& ObjectEntries() const;
  // Elements of an Array in order; empty for other kinds.
  const ArrayList& ArrayElements() const;

  // Parses the first value of text. Malformed text never throws: each problem
  // is one "ERROR: ..." line on std::cerr and the level returns a fallback.
  // Throws std::invalid_argument / std::out_of_range, naming the text, for a
  // number that does not convert.
  static JSON Load(const std::string& text);

  // Pretty-printed text: objects one member per line indented by tab repeated
  // depth times, arrays on one line.
  std::string dump(int depth = 1, std::string tab = "  ") const;

  // Frees the heap block selected by Type; leaves Type and the bits alone.
  void ClearInternal() noexcept;

 private:
  void DumpTo(std::string& out, int depth, const std::string& tab) const;
  void CopyLevel(const JSON& from, std::vector<std::pair<const JSON*, JSON*>>& pending);
  static void DetachNested(JSON& value, std::vector<JSON>& pending) noexcept;
  void Swap(JSON& other) noexcept;

  union Payload {
    double Float;
    int64_t Int;
    bool Bool;
    ObjectMap* Map;
    ArrayList* List;
    std::string* String;
  } Internal;
  Kind Type = Kind::Null;
};

// A value of kind Array with no elements.
JSON Array();
// A value of kind Object with no members.
JSON Object();

// Writes value.dump(1, "  ") and nothing else.
std::ostream& operator<<(std::ostream& out, const JSON& value);

}  // namespace mira::typing::text::json
