// Helpers shared by the segmenter tests: temporary data files and the
// captured diagnostic output.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <string>

namespace mira_test {

inline std::string DataPath(const std::string& name) {
  return std::string(MIRA_TEST_DATA_DIR) + "/jieba/" + name;
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
