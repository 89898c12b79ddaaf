#include "json/JSON.hpp"

#include <charconv>
#include <memory>
#include <utility>
#include <vector>

namespace mira::typing::text::json {
namespace {

// Escapes the seven bytes a reader cannot take raw; everything else,
// including UTF-8 and the other control bytes, passes through unchanged.
void AppendEscaped(std::string& out, const std::string& text) {
  for (char c : text) {
    switch (c) {
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      default: out += c; break;
    }
  }
}

std::string json_escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  AppendEscaped(out, text);
  return out;
}

// The %f form (fixed, six decimals) without the C library's locale, which a
// host program may have switched to one with a decimal comma. Not inlined, so
// that its buffer stays out of the recursive DumpTo frames.
#if defined(__GNUC__) || defined(__clang__)
__attribute__((noinline))
#endif
void AppendFixed(std::string& out, double value) {
  char buffer[400];  // the largest double has 309 integer digits
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 6);
  out.append(buffer, result.ptr);
}

const JSON::ObjectMap kNoMembers;
const JSON::ArrayList kNoElements;
const std::string kNoBytes;

}  // namespace

namespace {

bool IsContainer(const JSON& value) {
  return value.GetKind() == JSON::Kind::Object || value.GetKind() == JSON::Kind::Array;
}

}  // namespace

// Copies one level: scalars and strings directly, nested containers as
// pending pairs, so deep trees are copied without deep recursion.
void JSON::CopyLevel(const JSON& from, std::vector<std::pair<const JSON*, JSON*>>& pending) {
  switch (from.Type) {
    case Kind::Object: {
      SetKind(Kind::Object);
      for (const auto& [key, value] : from.ObjectEntries()) {
        JSON& slot = Internal.Map->emplace_hint(Internal.Map->end(), key, JSON())->second;
        if (IsContainer(value)) pending.emplace_back(&value, &slot);
        else slot = value;
      }
      break;
    }
    case Kind::Array: {
      SetKind(Kind::Array);
      const ArrayList& elements = from.ArrayElements();
      Internal.List->resize(elements.size());
      for (std::size_t i = 0; i < elements.size(); ++i) {
        if (IsContainer(elements[i])) pending.emplace_back(&elements[i], &(*Internal.List)[i]);
        else (*Internal.List)[i] = elements[i];
      }
      break;
    }
    case Kind::String:
      SetKind(Kind::String);
      if (from.Internal.String) *Internal.String = *from.Internal.String;
      break;
    default:
      SetKind(Kind::Null);
      Internal = from.Internal;
      Type = from.Type;
      break;
  }
}

JSON::JSON(const JSON& other) {
  Internal.Int = 0;
  // Built apart and taken over at the end, so a failed allocation frees
  // what was copied so far.
  JSON copy;
  std::vector<std::pair<const JSON*, JSON*>> pending;
  copy.CopyLevel(other, pending);
  while (!pending.empty()) {
    const auto [from, to] = pending.back();
    pending.pop_back();
    to->CopyLevel(*from, pending);
  }
  Internal = copy.Internal;
  Type = copy.Type;
  copy.Type = Kind::Null;
  copy.Internal.Int = 0;
}

JSON::JSON(JSON&& other) noexcept : Internal(other.Internal), Type(other.Type) {
  other.Type = Kind::Null;
  other.Internal.Int = 0;
}

JSON::~JSON() { ClearInternal(); }

// Copy first, release after: the source may be this value or inside it.
JSON& JSON::operator=(const JSON& other) {
  JSON copy(other);
  Swap(copy);
  return *this;
}

JSON& JSON::operator=(JSON&& other) noexcept {
  JSON taken(std::move(other));
  Swap(taken);
  return *this;
}

JSON& JSON::operator=(double value) {
  SetKind(Kind::Floating);
  Internal.Float = value;
  return *this;
}

JSON& JSON::operator=(std::string value) {
  SetKind(Kind::String);
  *Internal.String = std::move(value);
  return *this;
}

void JSON::Swap(JSON& other) noexcept {
  std::swap(Internal, other.Internal);
  std::swap(Type, other.Type);
}

// Moves the containers directly inside value into pending; a container
// that cannot be queued (no memory) stays and is freed recursively.
void JSON::DetachNested(JSON& value, std::vector<JSON>& pending) noexcept {
  auto detach = [&pending](JSON& child) {
    if (!IsContainer(child)) return;
    try {
      pending.push_back(std::move(child));
    } catch (...) {
    }
  };
  if (value.Type == Kind::Object && value.Internal.Map) {
    for (auto& member : *value.Internal.Map) detach(member.second);
  } else if (value.Type == Kind::Array && value.Internal.List) {
    for (JSON& element : *value.Internal.List) detach(element);
  }
}

void JSON::ClearInternal() noexcept {
  switch (Type) {
    case Kind::Object:
    case Kind::Array: {
      // Frees the tree level by level from a worklist instead of recursing:
      // every container is emptied of nested containers before it is freed.
      std::vector<JSON> pending;
      DetachNested(*this, pending);
      while (!pending.empty()) {
        JSON node = std::move(pending.back());
        pending.pop_back();
        DetachNested(node, pending);
      }
      if (Type == Kind::Object) delete Internal.Map;
      else delete Internal.List;
      break;
    }
    case Kind::String: delete Internal.String; break;
    default: break;
  }
}

void JSON::SetKind(Kind kind) {
  if (Type == kind) return;
  // Allocate before releasing, so a failed allocation leaves the value whole.
  JSON fresh;
  switch (kind) {
    case Kind::Object: fresh.Internal.Map = new ObjectMap(); break;
    case Kind::Array: fresh.Internal.List = new ArrayList(); break;
    case Kind::String: fresh.Internal.String = new std::string(); break;
    default: break;
  }
  fresh.Type = kind;
  Swap(fresh);
}

JSON& JSON::operator[](const std::string& key) {
  SetKind(Kind::Object);
  return (*Internal.Map)[key];
}

JSON& JSON::operator[](std::size_t index) {
  SetKind(Kind::Array);
  if (index >= Internal.List->size()) Internal.List->resize(index + 1);
  return (*Internal.List)[index];
}

int64_t JSON::ToInt(bool& ok) const {
  ok = Type == Kind::Integral;
  return ok ? Internal.Int : 0;
}

double JSON::ToFloat(bool& ok) const {
  ok = Type == Kind::Floating;
  return ok ? Internal.Float : 0.0;
}

bool JSON::ToBool(bool& ok) const {
  ok = Type == Kind::Boolean;
  return ok ? Internal.Bool : false;
}

std::string JSON::ToString() const {
  return Type == Kind::String ? json_escape(StringBytes()) : std::string();
}

const std::string& JSON::StringBytes() const {
  return Type == Kind::String && Internal.String ? *Internal.String : kNoBytes;
}

const JSON::ObjectMap& JSON::ObjectEntries() const {
  return Type == Kind::Object && Internal.Map ? *Internal.Map : kNoMembers;
}

const JSON::ArrayList& JSON::ArrayElements() const {
  return Type == Kind::Array && Internal.List ? *Internal.List : kNoElements;
}

JSON Array() {
  JSON value;
  value.SetKind(JSON::Kind::Array);
  return value;
}

JSON Object() {
  JSON value;
  value.SetKind(JSON::Kind::Object);
  return value;
}

std::string JSON::dump(int depth, std::string tab) const {
  std::string out;
  DumpTo(out, depth, tab);
  return out;
}

// Appends into one buffer rather than concatenating per level; the text is
// the same, without the quadratic copying on deep or wide documents.
void JSON::DumpTo(std::string& out, int depth, const std::string& tab) const {
  switch (Type) {
    case Kind::Null: out += "null"; break;
    case Kind::Boolean: out += Internal.Bool ? "true" : "false"; break;
    case Kind::Integral: out += std::to_string(Internal.Int); break;
    case Kind::Floating: AppendFixed(out, Internal.Float); break;
    case Kind::String:
      out += '"';
      AppendEscaped(out, StringBytes());
      out += '"';
      break;
    case Kind::Array: {
      out += '[';
      bool first = true;
      for (const JSON& element : ArrayElements()) {
        if (!first) out += ", ";
        first = false;
        element.DumpTo(out, depth + 1, tab);
      }
      out += ']';
      break;
    }
    case Kind::Object: {
      std::string pad;
      for (int i = 0; i < depth; ++i) pad += tab;
      out += "{\n";
      bool first = true;
      for (const auto& [key, value] : ObjectEntries()) {
        if (!first) out += ",\n";
        first = false;
        out += pad;
        out += '"';
        // Keys are escaped like values so that every key reads back as written.
        AppendEscaped(out, key);
        out += "\" : ";
        value.DumpTo(out, depth + 1, tab);
      }
      out += '\n';
      // The closing brace sits two characters left of the members.
      if (pad.size() > 2) out.append(pad, 2, std::string::npos);
      out += '}';
      break;
    }
  }
}

std::ostream& operator<<(std::ostream& out, const JSON& value) {
  return out << value.dump(1, "  ");
}

}  // namespace mira::typing::text::json
