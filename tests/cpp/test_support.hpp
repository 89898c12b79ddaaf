// Helpers shared by the segmenter tests: data paths, temporary data files,
// the captured diagnostic output, log lines without their time stamps, and
// random sentences.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace mira_test {

inline std::string DataPath(const std::string& name) {
  return std::string(MIRA_TEST_DATA_DIR) + "/jieba/" + name;
}

// A file of tests/data/<folder>.
inline std::string TestDataPath(const std::string& folder, const std::string& name) {
  return std::string(MIRA_TEST_DATA_DIR) + "/" + folder + "/" + name;
}

// Regular expression of a log line's time stamp and the blank after it.
inline constexpr const char* kLogStamp = R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} )";

// A sentence of len items drawn from alphabet.
inline std::string RandomSentence(std::mt19937& rng, const std::vector<std::string>& alphabet,
                                  size_t len) {
  std::string s;
  for (size_t i = 0; i < len; ++i) s += alphabet[rng() % alphabet.size()];
  return s;
}

// A sentence of len runes drawn from the first `alphabet` runes from U+4E00
// (a small alphabet makes words that share long prefixes).
inline std::string RandomCjk(std::mt19937& rng, size_t alphabet, size_t len) {
  std::string s;
  for (size_t i = 0; i < len; ++i) {
    const uint32_t r = 0x4E00 + static_cast<uint32_t>(rng() % alphabet);
    s.push_back(static_cast<char>(0xE0 | (r >> 12)));
    s.push_back(static_cast<char>(0x80 | ((r >> 6) & 0x3F)));
    s.push_back(static_cast<char>(0x80 | (r & 0x3F)));
  }
  return s;
}

// Writes content to a fresh file under the test temp dir and returns its path.
inline std::string WriteTemp(const std::string& name, const std::string& content) {
  std::string path = testing::TempDir() + "mira_seg_" + name;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  return path;
}

// Runs f, expecting it to throw Error; returns what was written to stderr.
template <class Error, class F>
std::string StderrOfThrow(F&& f) {
  testing::internal::CaptureStderr();
  bool thrown = false;
  try {
    f();
  } catch (const Error&) {
    thrown = true;
  } catch (...) {
    testing::internal::GetCapturedStderr();
    ADD_FAILURE() << "threw an exception of an unexpected type";
    return "";
  }
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(thrown) << "expected an exception";
  return err;
}

// Runs f and returns what it wrote to stderr.
template <class F>
std::string StderrOf(F&& f) {
  testing::internal::CaptureStderr();
  f();
  return testing::internal::GetCapturedStderr();
}

}  // namespace mira_test
