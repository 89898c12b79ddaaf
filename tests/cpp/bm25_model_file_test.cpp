#include <dirent.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bm25/BM25.hpp"
#include "json/JSON.hpp"

namespace {

using mira::typing::text::BM25;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::vector<std::string> ListDir(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(d);
  return names;
}

void ExpectSameState(const BM25& a, const BM25& b) {
  EXPECT_EQ(a.b(), b.b());
  EXPECT_EQ(a.k1(), b.k1());
  EXPECT_EQ(a.doc_count(), b.doc_count());
  EXPECT_EQ(a.doc_length_total(), b.doc_length_total());
  EXPECT_EQ(a.doc_length_average(), b.doc_length_average());
  EXPECT_EQ(a.doc_token_frequency(), b.doc_token_frequency());
}

class ModelFile : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/bm25_model_file_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  std::string dir_;
};

TEST_F(ModelFile, DumpWritesExactLayout) {
  BM25 model;
  model.train(std::vector<std::string>{"a", "b", "a"});
  model.train(std::vector<int64_t>{9, 10, 9});
  model.train(std::vector<std::string>{"z"});
  model.dump(Path("m.json"));
  EXPECT_EQ(ReadFile(Path("m.json")),
            "{\n"
            "  \"_b\" : 0.750000,\n"
            "  \"_doc_count\" : 3,\n"
            "  \"_doc_length_average\" : 2.333333,\n"
            "  \"_doc_token_frequency\" : {\n"
            "    \"10\" : 1,\n"
            "    \"9\" : 2,\n"
            "    \"a\" : 2,\n"
            "    \"b\" : 1,\n"
            "    \"z\" : 1\n"
            "  },\n"
            "  \"_k1\" : 1.200000\n"
            "}");

  BM25 untrained(0.5, 2.0);
  untrained.dump(Path("empty.json"));
  EXPECT_EQ(ReadFile(Path("empty.json")),
            "{\n  \"_b\" : 0.500000,\n  \"_doc_count\" : 0,\n  \"_doc_length_average\" : "
            "0.000000,\n  \"_doc_token_frequency\" : {\n\n  },\n  \"_k1\" : 2.000000\n}");
}

TEST_F(ModelFile, LoadRestoresTableCountAndRoundedDoubles) {
  BM25 model(0.123456789, 1.987654321);
  const std::vector<std::string> odd = {
      "quote\"d", "back\\slash", "new\nline", "tab\tbed", "\x01\x0b\x1f", "\xe4\xb8\xad",
      "\\u0041",  "",            "{}",        "42",       "-7"};
  model.train(odd);
  model.train(std::vector<int64_t>{42, INT64_MIN, INT64_MAX});
  model.dump(Path("m.json"));

  BM25 restored;
  restored.load(ReadFile(Path("m.json")));
  EXPECT_EQ(restored.doc_token_frequency(), model.doc_token_frequency());
  EXPECT_EQ(restored.doc_count(), 2);
  EXPECT_EQ(restored.doc_length_total(), 14);  // not in the file: average x count
  EXPECT_DOUBLE_EQ(restored.b(), 0.123457);
  EXPECT_DOUBLE_EQ(restored.k1(), 1.987654);
  EXPECT_DOUBLE_EQ(restored.doc_length_average(), 7.0);

  restored.dump(Path("again.json"));
  EXPECT_EQ(ReadFile(Path("again.json")), ReadFile(Path("m.json")));
}

TEST_F(ModelFile, LoadMergesIntoExistingTable) {
  BM25 model;
  model.train(std::vector<std::string>{"kept", "shared"});
  model.load(R"({"_b":0.5,"_doc_count":4,"_doc_length_average":1.5,"_k1":1.0,)"
             R"("_doc_token_frequency":{"shared":9,"new":2},"extra":[1]})");
  EXPECT_EQ(model.doc_token_frequency(),
            (BM25::FrequencyTable{{"kept", 1}, {"shared", 9}, {"new", 2}}));
  EXPECT_EQ(model.doc_count(), 4);
  EXPECT_EQ(model.doc_length_total(), 6);  // the file's 4 x 1.5, not the 2 in memory
}

struct FailedLoad {
  const char* name;
  std::string text;
  std::string message;
};

class LoadFailure : public testing::TestWithParam<FailedLoad> {};

const std::string kGood =
    R"("_doc_count":2,"_doc_length_average":1.5,"_b":0.5,"_k1":1.1)";

// Every failure leaves the model exactly as it was, the table included.
TEST_P(LoadFailure, RaisesAndLeavesModelUnchanged) {
  BM25 model(0.3, 0.9);
  model.train(std::vector<std::string>{"t", "u"});
  const BM25 before = model;
  testing::internal::CaptureStderr();
  try {
    model.load(GetParam().text);
    ADD_FAILURE() << "load accepted " << GetParam().text;
  } catch (const std::exception& error) {
    EXPECT_EQ(std::string(error.what()), GetParam().message);
  }
  testing::internal::GetCapturedStderr();
  ExpectSameState(model, before);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, LoadFailure,
    testing::Values(
        FailedLoad{"Empty", "", "json data should not be empty"},
        FailedLoad{"NotAnObject", "[1, 2]", "load doc_count failed"},
        FailedLoad{"CountNotIntegral", R"({"_doc_token_frequency":{"a":5,"t":"x"}, )" + kGood + "}",
                   "load doc_token_frequency failed"},
        FailedLoad{"BIntegral", R"({"_doc_count":2,"_doc_length_average":1.5,"_b":1,"_k1":1.0})",
                   "load b failed"},
        FailedLoad{"NegativeCount", R"({"_doc_token_frequency":{"a":-1}, )" + kGood + "}",
                   "load doc_token_frequency failed"},
        FailedLoad{"NegativeDocCount",
                   R"({"_doc_count":-3,"_doc_length_average":1.5,"_b":0.5,"_k1":1.1})",
                   "load doc_count failed"},
        FailedLoad{"BadNumber", R"({"_doc_count":--2})", "Invalid JSON number: '--2'"},
        FailedLoad{"NumberOutOfRange", R"({"_doc_token_frequency":{"a":99999999999999999999}})",
                   "JSON number out of range: '99999999999999999999'"}),
    [](const testing::TestParamInfo<FailedLoad>& info) { return std::string(info.param.name); });

TEST_F(ModelFile, DumpFailsToOpen) {
  BM25 model;
  // A path with a NUL byte names no file; cutting it short would write elsewhere.
  const std::string with_nul = Path("m.json") + std::string("\0.bak", 5);
  for (const std::string& path : {Path("missing/m.json"), dir_, with_nul}) {
    try {
      model.dump(path);
      ADD_FAILURE() << "dump accepted " << path;
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), "Failed to dump: Unable to open file");
    }
  }
  EXPECT_TRUE(ListDir(dir_).empty());
}

TEST(DumpFailure, WriteErrorIsReported) {
  BM25 model;
  try {
    model.dump("/dev/full");
    ADD_FAILURE() << "dump to a full device reported success";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()).rfind("Failed to dump: ", 0), 0u) << error.what();
  }
}

// A write cut short by the file size limit must leave the old file intact.
TEST_F(ModelFile, FailedWriteKeepsPreviousFile) {
  const std::string path = Path("m.json");
  WriteFile(path, "previous");
  BM25 model;
  for (int i = 0; i < 200; ++i) model.train(std::vector<int64_t>{i});

  rlimit old_limit;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = old_limit;
  small.rlim_cur = 64;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  std::string message;
  try {
    model.dump(path);
  } catch (const std::runtime_error& error) {
    message = error.what();
  }
  setrlimit(RLIMIT_FSIZE, &old_limit);
  std::signal(SIGXFSZ, old_handler);

  EXPECT_EQ(message.rfind("Failed to dump: ", 0), 0u) << message;
  EXPECT_EQ(ReadFile(path), "previous");
  EXPECT_EQ(ListDir(dir_), std::vector<std::string>{"m.json"});
}

TEST_F(ModelFile, ReplacingKeepsLinkAndPermissions) {
  const std::string real = Path("real.json");
  WriteFile(real, "old");
  ASSERT_EQ(chmod(real.c_str(), 0640), 0);
  ASSERT_EQ(symlink(real.c_str(), Path("link.json").c_str()), 0);
  BM25 model;
  model.dump(Path("link.json"));

  struct stat link_stat;
  ASSERT_EQ(lstat(Path("link.json").c_str(), &link_stat), 0);
  EXPECT_TRUE(S_ISLNK(link_stat.st_mode));
  struct stat real_stat;
  ASSERT_EQ(stat(real.c_str(), &real_stat), 0);
  EXPECT_EQ(real_stat.st_mode & 07777, 0640u);
  EXPECT_EQ(ReadFile(real).rfind("{\n  \"_b\"", 0), 0u);
}

}  // namespace

namespace mira::typing::text {
namespace {

#if defined(__SANITIZE_ADDRESS__) || !defined(NDEBUG)
constexpr std::size_t kLoadStack = 2048 * 1024;  // unoptimised frames are far larger
#else
constexpr std::size_t kLoadStack = 128 * 1024;  // musl's default thread stack
#endif

// Loading a file nested as deep as the parser allows, on a small stack,
// whether the nesting sits in an ignored member or in the token table.
TEST(ModelFileDepth, DeepestFileLoadsOnASmallThreadStack) {
  static std::string nested;
  for (int i = 1; i < json::JSON::kMaxDepth; ++i) nested += "{\"k\": ";
  nested += "1";
  for (int i = 1; i < json::JSON::kMaxDepth; ++i) nested += "}";
  static std::string failure;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, kLoadStack);
  pthread_t thread;
  ASSERT_EQ(pthread_create(
                &thread, &attr,
                [](void*) -> void* {
                  const std::string rest =
                      R"("_doc_count": 2, "_doc_length_average": 1.5, "_b": 0.75, "_k1": 1.2})";
                  BM25 model;
                  model.load("{\"x\": " + nested + ", \"_doc_token_frequency\": {}, " + rest);
                  if (model.doc_count() != 2) failure = "not loaded";
                  try {
                    model.load("{\"_doc_token_frequency\": " + nested + ", " + rest);
                    failure = "no exception";
                  } catch (const std::runtime_error& error) {
                    if (std::string(error.what()) != "load doc_token_frequency failed") {
                      failure = error.what();
                    }
                  }
                  return nullptr;
                },
                nullptr),
            0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  EXPECT_EQ(failure, "");
}

TEST(ModelFileNumbers, MessageShowsOnlyTheStartOfAHugeNumber) {
  BM25 model;
  const std::string huge(1 << 20, '7');
  try {
    model.load("{\"_doc_count\": --" + huge + "}");
    FAIL() << "no exception";
  } catch (const std::invalid_argument& error) {
    EXPECT_EQ(std::string(error.what()),
              "Invalid JSON number: '--" + huge.substr(0, 38) + "...' (1048578 bytes)");
  }
}

}  // namespace
}  // namespace mira::typing::text
