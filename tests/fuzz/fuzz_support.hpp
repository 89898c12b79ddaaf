// What the fuzz targets share: a segmenter over small hand-written data
// (dictionary, user and HMM-only words, tags, IDF values, stop words, one
// with a CRLF ending), written once per process; and a sink for the
// diagnostic lines that bad input makes, which would bury the fuzzer's own
// output and slow it down.
#pragma once

#include <fstream>
#include <iostream>
#include <memory>
#include <streambuf>
#include <string>

#include "tokenizer/jieba/Jieba.hpp"

namespace mira_fuzz {

// Sends std::cerr (the diagnostic lines) nowhere from the first call on.
inline void SilenceDiagnostics() {
  class NullBuffer : public std::streambuf {
   protected:
    int overflow(int c) override { return c; }
  };
  static NullBuffer sink;
  static std::streambuf* const original = std::cerr.rdbuf(&sink);
  (void)original;
}

inline std::string WriteFile(const std::string& name, const std::string& content) {
  std::string path = "/tmp/mira_fuzz_" + name;
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
  return path;
}

inline const mira::typing::text::jieba::Jieba& SmallJieba() {
  static const std::unique_ptr<mira::typing::text::jieba::Jieba> jieba = [] {
    const std::string dict = WriteFile(
        "dict", "北京 30 ns\n大学 20 n\n北京大学 40 nt\n京大 5 j\na 3 x\nab 4 eng\n1 2 m\n你好 9 l\n");
    const std::string user = WriteFile("user", "好\n北 1 x\n");
    const std::string hmm = WriteFile("hmm",
                                      "-0.3 -1e100 -1e100 -1.4\n-1e100 -0.5 -0.9 -1e100\n"
                                      "-0.6 -1e100 -1e100 -0.8\n-1e100 -0.3 -1.3 -1e100\n"
                                      "-0.7 -1e100 -1e100 -0.7\n你:-1,北:-2\n好:-1,京:-2\n"
                                      "大:-3\n学:-1,好:-4\n");
    const std::string idf = WriteFile("idf", "北京 2.0\n大学 1.5\nab 0.5\n");
    const std::string stop = WriteFile("stop", "的\n你好\r\n");
    return std::make_unique<mira::typing::text::jieba::Jieba>(dict, hmm, user, idf, stop);
  }();
  return *jieba;
}

}  // namespace mira_fuzz
