#include "json/JSON.hpp"

#include <gtest/gtest.h>
#include <pthread.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using mira::typing::text::json::Array;
using mira::typing::text::json::JSON;
using mira::typing::text::json::Object;
using Kind = JSON::Kind;

// A compact, kind-revealing form: strings show their raw bytes, floats %g.
std::string Describe(const JSON& v) {
  bool ok = false;
  switch (v.GetKind()) {
    case Kind::Null: return "null";
    case Kind::Boolean: return v.ToBool(ok) ? "true" : "false";
    case Kind::Integral: return std::to_string(v.ToInt(ok));
    case Kind::Floating: {
      char buf[64];
      std::snprintf(buf, sizeof buf, "f%g", v.ToFloat(ok));
      return buf;
    }
    case Kind::String: return "'" + v.StringBytes() + "'";
    case Kind::Array: {
      std::string out = "[";
      for (const JSON& e : v.ArrayElements()) out += (out.size() > 1 ? "," : "") + Describe(e);
      return out + "]";
    }
    case Kind::Object: {
      std::string out = "{";
      for (const auto& [k, e] : v.ObjectEntries()) {
        out += (out.size() > 1 ? "," : "") + k + ":" + Describe(e);
      }
      return out + "}";
    }
  }
  return "?";
}

struct LoadCase {
  const char* name;
  std::string text;
  std::string expected;
  std::string diagnostics;
};

class LoadTest : public testing::TestWithParam<LoadCase> {};

TEST_P(LoadTest, YieldsValueAndDiagnostics) {
  const LoadCase& c = GetParam();
  testing::internal::CaptureStderr();
  const JSON value = JSON::Load(c.text);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(Describe(value), c.expected);
  EXPECT_EQ(err, c.diagnostics);
}

const std::string kNul(1, '\0');

INSTANTIATE_TEST_SUITE_P(
    Texts, LoadTest,
    testing::Values(
        LoadCase{"Empty", "", "null", "ERROR: Parse: Unknown starting character '" + kNul + "'\n"},
        LoadCase{"Blank", " \t\n", "null",
                 "ERROR: Parse: Unknown starting character '" + kNul + "'\n"},
        LoadCase{"BareNumberAtEnd", "12", "null",
                 "ERROR: Number: unexpected character '" + kNul + "'\n"},
        LoadCase{"BareNumberThenSpace", "12 ", "12", ""},
        LoadCase{"EmptyObject", "{}", "{}", ""},
        LoadCase{"EmptyObjectSpaced", "{ }", "{}", ""},
        LoadCase{"EmptyArraySpaced", "[ ]", "[]", ""},
        LoadCase{"Members", R"({"a" : 1, "b" : 2.5})", "{a:1,b:f2.5}", ""},
        LoadCase{"Numbers", "[1.0, 1e3, 2E-2, 10, -7]", "[f1,f1000,f0.02,10,-7]", ""},
        LoadCase{"LeadingZeros", "[0012]", "[12]", ""},
        LoadCase{"NumberPrefixes", "[1-2, 1.2.3]", "[1,f1.2]", ""},
        LoadCase{"Literals", "[true,false, null]", "[true,false,null]", ""},
        LoadCase{"UnicodeEscapeKept", R"(["a\u00e9b"])", R"(['a\u00e9b'])", ""},
        LoadCase{"UnknownEscape", R"(["x\qy"])", R"(['x\y'])", ""},
        LoadCase{"Escapes", R"(["\"\\\/\b\f\n\r\t"])", "['\"\\/\b\f\n\r\t']", ""},
        LoadCase{"RawControlAndUtf8Bytes", "[\"a\x01\x0b\xc3\xa9\"]", "['a\x01\x0b\xc3\xa9']", ""},
        LoadCase{"EmbeddedNulInString", std::string("[\"a\0b\"]", 7), "['a" + kNul + "b']", ""},
        LoadCase{"EscapedKeyKeptUnescaped", R"({"a\"b" : 1})", "{a\"b:1}", ""},
        LoadCase{"NonStringKeyIsEmpty", "{true : 2}", "{:2}", ""},
        LoadCase{"RepeatedKeyOverwrites", R"({"k":1,"k":2})", "{k:2}", ""},
        LoadCase{"TrailingTextIgnored", R"({"a":1} trailing)", "{a:1}", ""},
        LoadCase{"MissingColon", R"({"k" 1})", "{}", "Error: Object: Expected colon, found '1'\n"},
        LoadCase{"MissingComma", R"({"k":1 "j":2})", "{k:1}",
                 "ERROR: Object: Expected comma, found '\"'\n"},
        LoadCase{"ArrayMissingComma", "[1, 2 3]", "[]",
                 "ERROR: Array: Expected ',' or ']', found '3'\n"},
        LoadCase{"ArrayStrayCharacter", "[x]", "[]",
                 "ERROR: Parse: Unknown starting character 'x'\n"
                 "ERROR: Array: Expected ',' or ']', found 'x'\n"},
        LoadCase{"PlusExponent", "[1e+5]", "[]",
                 "ERROR: Number: Expected a number for exponent, found '+'\n"
                 "ERROR: Array: Expected ',' or ']', found '+'\n"},
        LoadCase{"BadBool", "[tru]", "[]",
                 "ERROR: Bool: Expected 'true' or 'false', found 'tru]'\n"
                 "ERROR: Array: Expected ',' or ']', found 't'\n"},
        LoadCase{"BadNull", "nul", "null", "ERROR: Null: Expected 'null', found 'nul'\n"},
        LoadCase{"LiteralNotDelimited", "truex", "true", ""},
        LoadCase{"BadHexDigit", R"(["\u12G4"])", "[]",
                 "ERROR: String: Expected hex character in unicode escape, found 'G'\n"
                 "ERROR: Array: Expected ',' or ']', found 'u'\n"},
        LoadCase{"HexEscapeCutOff", R"("\u12)", "''",
                 "ERROR: String: Expected hex character in unicode escape, found '" + kNul +
                     "'\n"},
        LoadCase{"UnterminatedString", R"("abc)", "''",
                 "ERROR: String: Expected '\"' before the end of the text, found '" + kNul +
                     "'\n"},
        LoadCase{"UnterminatedAfterBackslash", "\"abc\\", "''",
                 "ERROR: String: Expected '\"' before the end of the text, found '" + kNul +
                     "'\n"},
        LoadCase{"UnterminatedKeyInObject", R"({"ab)", "{}",
                 "ERROR: String: Expected '\"' before the end of the text, found '" + kNul +
                     "'\nError: Object: Expected colon, found '" + kNul + "'\n"}),
    [](const testing::TestParamInfo<LoadCase>& info) { return std::string(info.param.name); });

class BadNumberTest : public testing::TestWithParam<std::string> {};

// Conversions that fail must name the offending text, whichever kind they are.
TEST_P(BadNumberTest, ThrowsNamingTheText) {
  const std::string number = GetParam();
  try {
    JSON::Load("[" + number + "]");
    FAIL() << "no exception for " << number;
  } catch (const std::logic_error& error) {
    EXPECT_NE(std::string(error.what()).find("'" + number + "'"), std::string::npos)
        << error.what();
  }
}

INSTANTIATE_TEST_SUITE_P(Numbers, BadNumberTest,
                         testing::Values("-", "--1", "1e", "-e5", "99999999999999999999",
                                         "1e99999999999999999999", "1.5e-"));

std::string Nested(int depth, const std::string& open, const std::string& inner,
                   const std::string& close) {
  std::string text;
  for (int i = 0; i < depth; ++i) text += open;
  text += inner;
  for (int i = 0; i < depth; ++i) text += close;
  return text;
}

int Depth(const JSON& v) {
  int depth = 0;
  const JSON* p = &v;
  while (true) {
    if (p->GetKind() == Kind::Array && !p->ArrayElements().empty()) {
      p = &p->ArrayElements().front();
    } else if (p->GetKind() == Kind::Object && !p->ObjectEntries().empty()) {
      p = &p->ObjectEntries().begin()->second;
    } else {
      return depth + (p->GetKind() == Kind::Array || p->GetKind() == Kind::Object);
    }
    ++depth;
  }
}

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MIRA_TEST_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define MIRA_TEST_ASAN 1
#endif

// Optimised builds parse, copy and print the deepest accepted tree within
// 256 KiB; unoptimised and sanitised frames are several times larger.
#if defined(MIRA_TEST_ASAN) || !defined(NDEBUG)
constexpr std::size_t kSmallStack = 2048 * 1024;
#else
constexpr std::size_t kSmallStack = 256 * 1024;
#endif

// Runs body on a thread with a small stack.
void OnSmallStack(void (*body)()) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, kSmallStack);
  pthread_t thread;
  ASSERT_EQ(pthread_create(
                &thread, &attr,
                [](void* arg) -> void* {
                  reinterpret_cast<void (*)()>(arg)();
                  return nullptr;
                },
                reinterpret_cast<void*>(body)),
            0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
}

TEST(LoadDepth, AcceptsTheLimitAndStopsOnceBeyondIt) {
  OnSmallStack([] {
    testing::internal::CaptureStderr();
    JSON deepest = JSON::Load(Nested(JSON::kMaxDepth, "[", "1", "]"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(Depth(deepest), JSON::kMaxDepth);
    // Copying, printing and destroying the deepest tree must fit too.
    JSON copy = deepest;
    EXPECT_EQ(copy.dump(0, "").size(), 2 * JSON::kMaxDepth + 1u);

    testing::internal::CaptureStderr();
    JSON arrays = JSON::Load(Nested(JSON::kMaxDepth + 1, "[", "1", "]"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "ERROR: Parse: Nesting deeper than 1000 levels, found '['\n");
    EXPECT_EQ(Describe(arrays), "[]");

    testing::internal::CaptureStderr();
    JSON objects = JSON::Load(Nested(100000, "{\"a\":", "1", "}"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "ERROR: Parse: Nesting deeper than 1000 levels, found '{'\n");
    // Each open object keeps what it had, down to the refused level's fallback.
    EXPECT_EQ(Depth(objects), JSON::kMaxDepth + 1);
  });
}

JSON Make(std::initializer_list<std::pair<std::string, JSON>> members) {
  JSON v = Object();
  for (const auto& [k, m] : members) v[k] = m;
  return v;
}

JSON List(std::initializer_list<JSON> elements) {
  JSON v = Array();
  std::size_t i = 0;
  for (const JSON& e : elements) v[i++] = e;
  return v;
}

template <typename T>
JSON Of(T value) {
  JSON v;
  v = value;
  return v;
}

TEST(JSONValue, KeySubscriptReplacesOtherContent) {
  std::vector<JSON> starts(3);
  starts[1] = 7;
  starts[2][std::size_t{2}] = 1;
  for (JSON& v : starts) {
    v["k"];
    EXPECT_EQ(Describe(v), "{k:null}");
  }
}

TEST(JSONValue, MembersIterateInKeyOrderAndIndexGrowsArray) {
  JSON object;
  object["b"] = 1;
  object["a"] = 2;
  object["c"] = 3;
  EXPECT_EQ(Describe(object), "{a:2,b:1,c:3}");

  JSON array = Array();
  array[std::size_t{5}] = true;
  EXPECT_EQ(Describe(array), "[null,null,null,null,null,true]");
}

TEST(JSONValue, SetKindKeepsContentOfSameKind) {
  JSON v;
  v["a"] = 1;
  v.SetKind(Kind::Object);
  EXPECT_EQ(Describe(v), "{a:1}");
  v.SetKind(Kind::String);
  EXPECT_EQ(Describe(v), "''");
}

TEST(JSONValue, CopiesAreDeepAndMovesLeaveNull) {
  JSON source;
  source["list"][std::size_t{0}] = "x";
  JSON copy(source);
  copy["list"][std::size_t{0}] = "y";
  EXPECT_EQ(Describe(source), "{list:['x']}");

  JSON moved = std::move(copy);
  EXPECT_EQ(copy.GetKind(), Kind::Null);
  JSON target = Of(5);
  target = std::move(moved);
  EXPECT_EQ(Describe(target), "{list:['y']}");
  EXPECT_EQ(moved.GetKind(), Kind::Null);
}

TEST(JSONValue, AssignmentFromItselfOrItsOwnParts) {
  JSON v;
  v["a"]["b"] = 1;
  v["z"] = "s";
  JSON& self = v;
  v = self;
  EXPECT_EQ(Describe(v), "{a:{b:1},z:'s'}");
  v = std::move(self);
  EXPECT_EQ(Describe(v), "{a:{b:1},z:'s'}");

  v = v["a"];
  EXPECT_EQ(Describe(v), "{b:1}");
  v = std::move(v["b"]);
  EXPECT_EQ(Describe(v), "1");

  JSON list;
  list[std::size_t{1}][std::size_t{0}] = 2.5;
  list = list[std::size_t{1}];
  EXPECT_EQ(Describe(list), "[f2.5]");
}

TEST(JSONValue, ReadersReportKindMismatch) {
  bool ok = true;
  const JSON integral = Of(3);
  EXPECT_EQ(integral.ToFloat(ok), 0.0);
  EXPECT_FALSE(ok);
  const JSON floating = Of(3.0);
  EXPECT_EQ(floating.ToInt(ok), 0);
  EXPECT_FALSE(ok);
  EXPECT_EQ(integral.ToInt(ok), 3);
  EXPECT_TRUE(ok);
  EXPECT_EQ(integral.ToString(), "");
  const JSON text = Of("q\"\n");
  EXPECT_EQ(text.ToString(), "q\\\"\\n");
}

struct DumpCase {
  const char* name;
  JSON value;
  std::string expected;
};

class DumpTest : public testing::TestWithParam<DumpCase> {};

TEST_P(DumpTest, WritesExactLayout) {
  std::ostringstream out;
  out << GetParam().value;
  EXPECT_EQ(out.str(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, DumpTest,
    testing::Values(
        DumpCase{"Null", JSON(), "null"}, DumpCase{"True", Of(true), "true"},
        DumpCase{"NegativeIntegral", Of(-42), "-42"},
        DumpCase{"FloatingSixDecimals", Of(2.0), "2.000000"},
        DumpCase{"FloatingRounded", Of(1234.5678), "1234.567800"},
        DumpCase{"FloatingLarge", Of(1e20), "100000000000000000000.000000"},
        DumpCase{"FloatingTiny", Of(-1e-9), "-0.000000"},
        DumpCase{"StringEscapes", Of("\t\"\xc3\xa9"), "\"\\t\\\"\xc3\xa9\""},
        DumpCase{"StringAllEscapes", Of("\b\f\n\r\\/\x01\x0b"), "\"\\b\\f\\n\\r\\\\/\x01\x0b\""},
        DumpCase{"Array", List({Of(1), Of("x"), JSON()}), "[1, \"x\", null]"},
        DumpCase{"EmptyArray", Array(), "[]"},
        DumpCase{"ArrayHoldingObject", List({Make({{"a", Of(1)}})}), "[{\n    \"a\" : 1\n  }]"},
        DumpCase{"EmptyObject", Object(), "{\n\n}"},
        DumpCase{"MembersInKeyOrder", Make({{"b", Of(1)}, {"a", Of(2)}}),
                 "{\n  \"a\" : 2,\n  \"b\" : 1\n}"},
        DumpCase{"KeysEscapedLikeValues", Make({{"q\"\\\n", Of(1)}}), "{\n  \"q\\\"\\\\\\n\" : 1\n}"},
        DumpCase{"ModelLayout",
                 Make({{"_doc_token_frequency", Make({{"x", Of(3)}})}, {"_b", Of(0.75)}}),
                 "{\n  \"_b\" : 0.750000,\n  \"_doc_token_frequency\" : {\n    \"x\" : 3\n  }\n}"}),
    [](const testing::TestParamInfo<DumpCase>& info) { return std::string(info.param.name); });

TEST(Dump, DepthAndUnitSetIndentation) {
  const JSON v = Make({{"a", Make({{"b", Of(1)}})}});
  EXPECT_EQ(v.dump(0, "  "), "{\n\"a\" : {\n  \"b\" : 1\n}\n}");
  // The closing brace loses two characters of padding, whatever the unit.
  EXPECT_EQ(v.dump(1, "\t"), "{\n\t\"a\" : {\n\t\t\"b\" : 1\n}\n}");
}

// Floating values are written in the %f form of the "C" locale, ties included.
TEST(Dump, FloatingMatchesFixedSixDecimals) {
  const double inf = std::numeric_limits<double>::infinity();
  for (double x : {0.0, -0.0, 0.75, 1.2, 2.0 / 3.0, 0.0078125, 0.0234375, 2.5e-7, -5e-7, 1e15 + 0.3,
                   1e20, 1.7976931348623157e308, -4.9e-324, inf, -inf}) {
    EXPECT_EQ(Of(x).dump(), std::to_string(x)) << x;
  }
  EXPECT_EQ(Of(std::nan("")).dump(), "nan");
}

// A host program may switch the C library to a locale with a decimal comma;
// the model file must still use a point and read back the same.
TEST(RoundTrip, FloatingIgnoresTheProcessLocale) {
  const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
  const char* comma = nullptr;
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8"}) {
    if (std::setlocale(LC_NUMERIC, name) != nullptr) {
      comma = name;
      break;
    }
  }
  if (comma == nullptr) GTEST_SKIP() << "no locale with a decimal comma is installed";
  const std::string text = Of(0.75).dump();
  testing::internal::CaptureStderr();
  const JSON parsed = JSON::Load("[0.25, 2.5e1]");
  const std::string diagnostics = testing::internal::GetCapturedStderr();
  std::setlocale(LC_NUMERIC, saved.c_str());
  EXPECT_EQ(text, "0.750000") << "written under " << comma;
  EXPECT_EQ(Describe(parsed), "[f0.25,f25]") << "parsed under " << comma;
  EXPECT_EQ(diagnostics, "");
}

// Any byte string, as key or value, reads back exactly as it was written.
TEST(RoundTrip, AwkwardStringsSurviveAsKeysAndValues) {
  const std::vector<std::string> awkward = {
      "",         "\"",       "\\",       "a\\\"b",   "\\u00e9", "line\nbreak", "tab\t",
      "\r\b\f",   "\x01\x1f", "\x7f",     "\xe4\xb8\xad\xe6\x96\x87", "\xff\xfe", "/",
      std::string("nul\0in", 6), "{\"a\":1}", "[1, 2]", " padded "};
  JSON doc;
  for (std::size_t i = 0; i < awkward.size(); ++i) {
    doc["k"][awkward[i]] = static_cast<int64_t>(i);
    doc["v"][i] = awkward[i];
  }
  testing::internal::CaptureStderr();
  const JSON back = JSON::Load(doc.dump());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(back.dump(), doc.dump());
  EXPECT_EQ(Describe(back), Describe(doc));
}

}  // namespace
