#include "common/ReplaceFile.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace mira::typing::text {
namespace {

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A directory whose path is so long that no temporary file name fits beside
// a one-letter file: creating the temporary file fails even for root, for
// whom permission bits do not.
class CrowdedDirectory : public testing::Test {
 protected:
  void SetUp() override {
    root_ = testing::TempDir() + "replace_file_test." + std::to_string(::getpid());
    ASSERT_EQ(::mkdir(root_.c_str(), 0700), 0);
    dir_ = root_;
    while (dir_.size() + 250 < PATH_MAX - 16) {
      dir_ += "/" + std::string(200, 'd');
      ASSERT_EQ(::mkdir(dir_.c_str(), 0700), 0);
    }
    dir_ += "/" + std::string(PATH_MAX - 16 - dir_.size() - 1, 'e');
    ASSERT_EQ(::mkdir(dir_.c_str(), 0700), 0);
    target_ = dir_ + "/m";
  }
  void TearDown() override {
    const std::string command = "rm -rf '" + root_ + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
  }

  std::string root_, dir_, target_;
};

TEST_F(CrowdedDirectory, ExistingFileIsWrittenInPlaceWhenNoTemporaryFileFits) {
  { std::ofstream(target_) << "old contents, longer than the new"; }
  ReplaceFileContents(target_, "new");
  EXPECT_EQ(Read(target_), "new");
}

TEST_F(CrowdedDirectory, MissingFileStillCannotBeOpened) {
  try {
    ReplaceFileContents(target_, "new");
    FAIL() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "Unable to open file");
  }
}

TEST(ReplaceFile, WriteErrorsAreReportedWithTheReason) {
  try {
    ReplaceFileContents("/dev/full", "text");
    FAIL() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()).rfind("Unable to write file: ", 0), 0u) << error.what();
  }
}

}  // namespace
}  // namespace mira::typing::text
