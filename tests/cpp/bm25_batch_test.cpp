// The view-based, batch and merge operations against the one-document,
// std::map-returning operations they must reproduce.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bm25/BM25.hpp"

namespace mira::typing::text {
namespace {

using Strings = std::vector<std::string>;
using Ids = std::vector<int64_t>;

// Zipf-like documents, some empty, long enough in total for the batch to be
// split across threads.
std::vector<Strings> Corpus(unsigned seed, std::size_t documents) {
  std::mt19937 random(seed);
  std::vector<Strings> corpus;
  for (std::size_t d = 0; d < documents; ++d) {
    Strings document(d % 17 == 0 ? 0 : 1 + random() % 120);
    for (std::string& token : document) {
      const unsigned rank = 1 + random() % 400;
      token = "w" + std::to_string(random() % rank);
      if (rank % 7 == 0) token += "\xe4\xb8\xad";
    }
    corpus.push_back(document);
  }
  return corpus;
}

BM25::Documents<std::string_view> Views(const std::vector<Strings>& corpus) {
  BM25::Documents<std::string_view> documents;
  for (const Strings& document : corpus) {
    for (const std::string& token : document) documents.tokens.emplace_back(token);
    documents.end_document();
  }
  return documents;
}

std::string ModelFile(const BM25& model) {
  // ctest runs each test in its own process, several at once.
  const std::string path =
      testing::TempDir() + "bm25_batch_test." + std::to_string(::getpid()) + ".json";
  model.dump(path);
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  std::remove(path.c_str());
  return text.str();
}

void ExpectSameModel(const BM25& x, const BM25& y) {
  EXPECT_EQ(x.doc_count(), y.doc_count());
  EXPECT_EQ(x.doc_length_total(), y.doc_length_total());
  EXPECT_EQ(x.doc_length_average(), y.doc_length_average());
  EXPECT_EQ(x.doc_token_frequency(), y.doc_token_frequency());
  EXPECT_EQ(ModelFile(x), ModelFile(y));
}

BM25 Sequential(const std::vector<Strings>& corpus, BM25::Idf idf = BM25::Idf::kOccurrences) {
  BM25 model(0.75, 1.2, idf);
  for (const Strings& document : corpus) {
    if (!document.empty()) model.train(document);
  }
  return model;
}

class BM25BatchTest : public testing::TestWithParam<unsigned> {};

TEST_P(BM25BatchTest, TrainManyEqualsTrainingEachDocument) {
  const auto corpus = Corpus(1, 600);
  BM25 batch;
  batch.train_many(Views(corpus), GetParam());
  ExpectSameModel(batch, Sequential(corpus));
  // Tokens enter the table in first-occurrence order whatever the split.
  const BM25 sequential = Sequential(corpus);
  EXPECT_TRUE(std::equal(batch.doc_token_frequency().begin(), batch.doc_token_frequency().end(),
                         sequential.doc_token_frequency().begin()));
}

TEST_P(BM25BatchTest, WeighManyEqualsTheMapsOfEachDocument) {
  const auto corpus = Corpus(2, 300);
  const BM25 model = Sequential(Corpus(3, 200));
  const auto documents = Views(corpus);
  const auto by_document = model.weigh_documents(documents, GetParam());
  const auto by_query = model.weigh_queries(documents, GetParam());
  ASSERT_EQ(by_document.size(), corpus.size());
  for (std::size_t d = 0; d < corpus.size(); ++d) {
    for (const auto& [weights, expected] :
         {std::make_pair(by_document[d], model.encode_document(corpus[d])),
          std::make_pair(by_query[d], model.encode_query(corpus[d]))}) {
      ASSERT_EQ(weights.size(), expected.size());
      auto it = expected.begin();
      for (const BM25::Weight& weight : weights) {
        // The first occurrence of the key, and the same bits.
        EXPECT_EQ(corpus[d][weight.first], it->first);
        EXPECT_EQ(std::find(corpus[d].begin(), corpus[d].end(), it->first) - corpus[d].begin(),
                  static_cast<std::ptrdiff_t>(weight.first));
        EXPECT_EQ(weight.value, it->second);
        ++it;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Threads, BM25BatchTest, testing::Values(1u, 2u, 3u, 16u));

TEST(BM25Batch, IdsAreWeighedInNumericOrderAndTrainedAsDecimalText) {
  BM25::Documents<int64_t> ids;
  ids.add(Ids{10, -3, 9, 10});
  ids.add(Ids{});
  BM25 by_id;
  by_id.train_many(ids, 2);
  BM25 by_text;
  by_text.train(Strings{"10", "-3", "9", "10"});
  ExpectSameModel(by_id, by_text);
  const auto weights = by_id.weigh_documents(ids, 2);
  ASSERT_EQ(weights[0].size(), 3u);
  EXPECT_EQ(weights[0][0].first, 1u);  // -3
  EXPECT_EQ(weights[0][1].first, 2u);  // 9
  EXPECT_EQ(weights[0][2].first, 0u);  // 10
  EXPECT_TRUE(weights[1].empty());
}

TEST(BM25Batch, EmptyBatchRaisesAndEmptyDocumentsAreSkipped) {
  BM25 model;
  try {
    model.train_many(BM25::Documents<std::string_view>{}, 1);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "trainning tokens_vec should not be empty");
  }
  BM25::Documents<int64_t> empties;
  empties.add(Ids{});
  empties.add(Ids{});
  model.train_many(empties, 1);
  EXPECT_EQ(model.doc_count(), 0);
  EXPECT_TRUE(model.weigh_queries(empties, 2)[1].empty());
  BM25::Documents<int64_t> one;
  one.add(Ids{1});
  EXPECT_THROW(model.weigh_queries(one, 2), std::runtime_error);
}

// A model whose entry for "x" sits at the top of the 64-bit range.
BM25 NearTheTop() {
  BM25 model;
  BM25::State state = model.state();
  state.doc_count = 1;
  state.doc_length_total = 1;
  state.doc_length_average = 1.0;
  state.doc_token_frequency["x"] = std::numeric_limits<int64_t>::max();
  model.set_state(state);
  return model;
}

TEST(BM25Failure, OverflowLeavesTheWholeModelUnchanged) {
  const auto corpus = Corpus(4, 300);
  Strings poisoned = {"new", "w1", "x"};
  for (unsigned threads : {0u, 1u, 2u, 3u}) {
    SCOPED_TRACE(threads);
    BM25 model = NearTheTop();
    const BM25 before = model;
    if (threads == 0) {
      EXPECT_THROW(model.train(poisoned), std::overflow_error);
    } else {
      // The faulty document last, and first (where the first chunk meets it).
      auto last = corpus;
      last.push_back(poisoned);
      EXPECT_THROW(model.train_many(Views(last), threads), std::overflow_error);
      ExpectSameModel(model, before);
      auto first = corpus;
      first.insert(first.begin(), poisoned);
      EXPECT_THROW(model.train_many(Views(first), threads), std::overflow_error);
    }
    ExpectSameModel(model, before);
    EXPECT_EQ(model.doc_token_frequency().count("new"), 0u);
  }
}

TEST(BM25Merge, ShardsMergeIntoTheSequentialModel) {
  const auto corpus = Corpus(5, 400);
  for (std::size_t cut : {std::size_t{0}, std::size_t{1}, std::size_t{170}, corpus.size()}) {
    SCOPED_TRACE(cut);
    BM25 first = Sequential({corpus.begin(), corpus.begin() + cut});
    const BM25 second = Sequential({corpus.begin() + cut, corpus.end()});
    first.merge(second);
    ExpectSameModel(first, Sequential(corpus));
  }
}

TEST(BM25Merge, SelfMergeDoublesEveryStatistic) {
  const auto corpus = Corpus(6, 50);
  BM25 model = Sequential(corpus);
  model.merge(model);
  auto twice = corpus;
  twice.insert(twice.end(), corpus.begin(), corpus.end());
  ExpectSameModel(model, Sequential(twice));
}

TEST(BM25Merge, RefusesOtherParametersAndOverflowChangingNothing) {
  BM25 model = Sequential(Corpus(7, 20));
  const BM25 before = model;
  EXPECT_THROW(model.merge(BM25(0.5, 1.2)), std::invalid_argument);
  EXPECT_THROW(model.merge(BM25(0.75, 2.0)), std::invalid_argument);
  BM25 top = NearTheTop();
  BM25 other;
  other.train(Strings{"a", "x"});
  const BM25 other_before = other;
  EXPECT_THROW(top.merge(other), std::overflow_error);
  ExpectSameModel(top, NearTheTop());
  ExpectSameModel(other, other_before);
  ExpectSameModel(model, before);
}

}  // namespace
}  // namespace mira::typing::text

namespace mira::typing::text {
namespace {

// Same statistics and the same table order.
void ExpectIdentical(const BM25& x, const BM25& y) {
  EXPECT_EQ(x.doc_count(), y.doc_count());
  EXPECT_EQ(x.doc_length_total(), y.doc_length_total());
  EXPECT_EQ(x.doc_length_average(), y.doc_length_average());
  EXPECT_TRUE(std::equal(x.doc_token_frequency().begin(), x.doc_token_frequency().end(),
                         y.doc_token_frequency().begin(), y.doc_token_frequency().end()));
  EXPECT_TRUE(std::equal(x.doc_token_documents().begin(), x.doc_token_documents().end(),
                         y.doc_token_documents().begin(), y.doc_token_documents().end()));
}

// A batch of several rounds stopped at its first or last checkpoint leaves
// the model exactly as it was, for a model smaller and one larger than the
// batch, counting occurrences or documents; checkpoints that let it run
// change no result.
class BM25Checkpoint : public testing::TestWithParam<BM25::Idf> {};

TEST_P(BM25Checkpoint, StoppingLeavesTheModelAndRunningOnChangesNothing) {
  const auto corpus = Corpus(9, 10000);  // 568,744 tokens: two rounds or more
  const auto documents = Views(corpus);
  BM25 larger = Sequential(Corpus(10, 30), GetParam());
  BM25::State state = larger.state();
  for (std::size_t i = 0; i < documents.tokens.size(); ++i) {
    state.doc_token_frequency["old" + std::to_string(i)] = 1;
    if (GetParam() == BM25::Idf::kDocuments) state.doc_token_documents["old" + std::to_string(i)] = 1;
  }
  larger.set_state(state);
  for (const BM25& start : {Sequential(Corpus(10, 30), GetParam()), larger}) {
    for (unsigned threads : {1u, 2u}) {
      SCOPED_TRACE(std::to_string(start.doc_token_frequency().size()) + " entries, " +
                   std::to_string(threads) + " threads");
      int checkpoints = 0;
      BM25 trained = start;
      trained.train_many(documents, threads, [&] { ++checkpoints; });
      ASSERT_GE(checkpoints, 1);
      BM25 plain = start;
      plain.train_many(documents, threads);
      ExpectIdentical(trained, plain);
      auto flat = [](const std::vector<BM25::Weights>& vectors) {
        std::vector<std::pair<std::size_t, double>> out;
        for (const auto& weights : vectors) {
          for (const auto& weight : weights) out.emplace_back(weight.first, weight.value);
        }
        return out;
      };
      EXPECT_EQ(flat(trained.weigh_documents(documents, threads, [] {})),
                flat(trained.weigh_documents(documents, threads)));
      BM25 stopped = start;  // the same again after each stop
      for (int stop : {1, checkpoints}) {
        int calls = 0;
        auto checkpoint = [&] {
          if (++calls == stop) throw std::runtime_error("stop");
        };
        EXPECT_THROW(stopped.train_many(documents, threads, checkpoint), std::runtime_error);
        ExpectIdentical(stopped, start);
        calls = 0;
        EXPECT_THROW(stopped.weigh_queries(documents, threads, checkpoint), std::runtime_error);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(BothIdfKinds, BM25Checkpoint,
                         testing::Values(BM25::Idf::kOccurrences, BM25::Idf::kDocuments),
                         [](const testing::TestParamInfo<BM25::Idf>& info) {
                           return info.param == BM25::Idf::kDocuments ? "Documents" : "Occurrences";
                         });

}  // namespace
}  // namespace mira::typing::text
