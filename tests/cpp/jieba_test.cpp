#include "tokenizer/jieba/Jieba.hpp"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "test_support.hpp"
#include "tokenizer/jieba/limonp/Logging.hpp"

namespace {

using mira::typing::text::jieba::Jieba;
using mira::typing::text::limonp::BadContentError;
using mira::typing::text::limonp::FileOpenError;
using mira_test::DataPath;
using Words = std::vector<std::string>;

Jieba* Load(const std::string& user_dict = DataPath("user_dict.utf8")) {
  return new Jieba(DataPath("dict.utf8"), DataPath("hmm_model.utf8"), user_dict,
                   DataPath("idf.utf8"), DataPath("stop_words.utf8"));
}

TEST(Jieba, CutAndCutForSearch) {
  std::unique_ptr<Jieba> jieba(Load());
  Words words;
  jieba->Cut("我是北京大学的学生，韩冰林森", words);
  EXPECT_EQ(words, (Words{"我", "是", "北京大学", "的", "学生", "，", "韩冰", "林", "森"}));
  jieba->CutForSearch("我是北京大学的学生，韩冰林森", words);
  EXPECT_EQ(words, (Words{"我", "是", "北京", "京大", "大学", "北京大", "北京大学", "的", "学生",
                          "，", "韩冰", "林", "森"}));
  jieba->Cut("", words);
  EXPECT_TRUE(words.empty());
  jieba->CutForSearch("", words);
  EXPECT_TRUE(words.empty());
  EXPECT_EQ(jieba->Paths().user_dict_path, DataPath("user_dict.utf8"));
}

TEST(Jieba, EmptyUserDictionaryPathUsesMainDictionaryAlone) {
  std::unique_ptr<Jieba> jieba(Load(""));
  Words words;
  jieba->Cut("韩冰林森云计算", words);
  EXPECT_EQ(words, (Words{"韩冰", "林森", "云", "计算"}));
}

TEST(Jieba, LoadFailuresThrow) {
  const std::string missing = testing::TempDir() + "no_such_dict.utf8";
  std::string err = mira_test::StderrOfThrow<FileOpenError>([&] {
    Jieba j(missing, DataPath("hmm_model.utf8"), "", DataPath("idf.utf8"),
            DataPath("stop_words.utf8"));
  });
  EXPECT_NE(err.find("open " + missing + " failed."), std::string::npos) << err;
  const std::string bad_model = mira_test::WriteTemp("jieba_bad_model", "1 2 3\n");
  mira_test::StderrOfThrow<BadContentError>([&] {
    Jieba j(DataPath("dict.utf8"), bad_model, "", DataPath("idf.utf8"),
            DataPath("stop_words.utf8"));
  });
  mira_test::StderrOfThrow<FileOpenError>([&] {
    Jieba j(DataPath("dict.utf8"), DataPath("hmm_model.utf8"), "", DataPath("idf.utf8"),
            missing);
  });
}

// A directory reads as an empty file and a path with a NUL byte would open a
// shorter one; both must fail like a missing file, for each of the five paths.
TEST(Jieba, DirectoryOrNulPathCannotBeOpened) {
  const std::vector<std::string> good = {DataPath("dict.utf8"), DataPath("hmm_model.utf8"),
                                         DataPath("user_dict.utf8"), DataPath("idf.utf8"),
                                         DataPath("stop_words.utf8")};
  for (size_t slot = 0; slot < good.size(); ++slot) {
    // The NUL case names an existing file followed by a NUL and more text.
    for (const std::string& bad : {std::string(MIRA_TEST_DATA_DIR),
                                   good[slot] + std::string(1, '\0') + "x"}) {
      std::vector<std::string> p = good;
      p[slot] = bad;
      const std::string err = mira_test::StderrOfThrow<FileOpenError>(
          [&] { Jieba j(p[0], p[1], p[2], p[3], p[4]); });
      EXPECT_NE(err.find("is_open()] false. open "), std::string::npos)
          << "slot " << slot << ": " << err;
    }
  }
}

// Cutting is const: threads sharing one Jieba get the single-threaded words.
// The byte spans and the Word records describe the same cut as the strings,
// and a word flagged as a dictionary word is one.
TEST(Jieba, SpansAndDictionaryFlagsAgreeWithTheCut) {
  std::unique_ptr<Jieba> jieba(Load());
  using mira::typing::text::jieba::ByteSpan;
  using mira::typing::text::jieba::DecodeRunesInString;
  using mira::typing::text::jieba::RuneStrArray;
  using mira::typing::text::jieba::Word;
  const std::vector<std::string> sentences = {
      "我是北京大学的学生，韩冰林森", "他来到了网易杭研大厦", "云计算，蓝莓 abc123 ！",
      "小明硕士毕业于中国科学院计算所", "", "\xff\xfe坏字节"};
  size_t flagged = 0;
  size_t unflagged = 0;
  for (const bool search : {false, true}) {
    for (const std::string& sentence : sentences) {
      Words words;
      if (search) {
        jieba->CutForSearch(sentence, words);
      } else {
        jieba->Cut(sentence, words);
      }
      std::vector<ByteSpan> spans;
      jieba->CutSpans(sentence, spans, search);
      std::vector<Word> records;
      jieba->Tokenize(sentence, records, search);
      ASSERT_EQ(spans.size(), words.size()) << sentence;
      ASSERT_EQ(records.size(), words.size()) << sentence;
      for (size_t i = 0; i < words.size(); ++i) {
        EXPECT_EQ(sentence.substr(spans[i].offset, spans[i].length), words[i]);
        EXPECT_EQ(records[i].text, words[i]);
        if (!records[i].dictionary) {
          ++unflagged;
          continue;
        }
        ++flagged;
        RuneStrArray runes;
        ASSERT_TRUE(DecodeRunesInString(words[i].data(), words[i].size(), runes));
        EXPECT_NE(jieba->Dictionary().Find(runes.begin(), runes.end()), nullptr) << words[i];
      }
    }
  }
  EXPECT_GT(flagged, 10u);
  EXPECT_GT(unflagged, 10u);
}

TEST(Jieba, ConcurrentCutsAgree) {
  std::unique_ptr<Jieba> jieba(Load());
  std::vector<std::string> sentences = {"我是北京大学的学生", "韩冰林森abc123", "云计算，蓝莓",
                                        "甲乙丙 中国人民", "北京大学3.14"};
  std::string longer;
  for (int i = 0; i < 40; ++i) longer += sentences[static_cast<size_t>(i) % sentences.size()];
  sentences.push_back(longer);
  std::vector<Words> expected(sentences.size());
  for (size_t i = 0; i < sentences.size(); ++i) jieba->CutForSearch(sentences[i], expected[i]);

  std::vector<int> mismatches(4, 0);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < mismatches.size(); ++t) {
    threads.emplace_back([&, t] {
      Words words;
      for (int round = 0; round < 200; ++round) {
        const size_t i = (t + static_cast<size_t>(round)) % sentences.size();
        jieba->CutForSearch(sentences[i], words);
        if (words != expected[i]) ++mismatches[t];
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

}  // namespace
