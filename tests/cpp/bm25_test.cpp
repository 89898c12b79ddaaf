#include "bm25/BM25.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace mira::typing::text {
namespace {

using Strings = std::vector<std::string>;
using Ids = std::vector<int64_t>;

BM25 TrainedOnExample() {
  BM25 model(0.75, 1.2);
  model.train(Strings{"a", "b", "a"});
  model.train(Strings{"b"});
  return model;
}

void ExpectSameState(const BM25& x, const BM25& y) {
  EXPECT_EQ(x.doc_count(), y.doc_count());
  EXPECT_EQ(x.doc_length_total(), y.doc_length_total());
  EXPECT_EQ(x.doc_length_average(), y.doc_length_average());
  EXPECT_EQ(x.doc_token_frequency(), y.doc_token_frequency());
}

TEST(BM25Train, AccumulatesCountsAndAverage) {
  BM25 model;
  model.train(Strings{"a", "b", "a"});
  EXPECT_EQ(model.doc_count(), 1);
  EXPECT_EQ(model.doc_length_total(), 3);
  EXPECT_DOUBLE_EQ(model.doc_length_average(), 3.0);
  EXPECT_EQ(model.doc_token_frequency().at("a"), 2);
  EXPECT_EQ(model.doc_token_frequency().at("b"), 1);

  model.train(Strings{"b"});
  EXPECT_EQ(model.doc_count(), 2);
  EXPECT_DOUBLE_EQ(model.doc_length_average(), 2.0);
  EXPECT_EQ(model.doc_token_frequency().at("b"), 2);
}

TEST(BM25Train, IntegerTokensShareEntriesWithTheirDecimalText) {
  BM25 ids;
  ids.train(Ids{7, -7, 7, INT64_MIN});
  BM25 strings;
  strings.train(Strings{"7", "-7", "7", "-9223372036854775808"});
  ExpectSameState(ids, strings);
}

TEST(BM25Train, ListOfDocumentsSkipsEmptyOnes) {
  BM25 model;
  model.train(std::vector<Ids>{{1, 2}, {}, {3}});
  EXPECT_EQ(model.doc_count(), 2);
  EXPECT_EQ(model.doc_length_total(), 3);
}

TEST(BM25Train, EmptyInputRaisesAndChangesNothing) {
  BM25 model = TrainedOnExample();
  const BM25 before = model;
  const char* message = "trainning tokens_vec should not be empty";
  auto expect_message = [&](auto&& call) {
    try {
      call();
      FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), message);
    }
  };
  expect_message([&] { model.train(Strings{}); });
  expect_message([&] { model.train(Ids{}); });
  expect_message([&] { model.train(std::vector<Ids>{}); });
  ExpectSameState(model, before);
}

TEST(BM25Train, CountsDoNotWrapPastThe32BitRange) {
  BM25 model;
  BM25::State state = model.state();
  state.doc_count = INT32_MAX;
  state.doc_length_total = INT32_MAX;
  state.doc_length_average = 1.0;
  state.doc_token_frequency["x"] = INT32_MAX;
  model.set_state(state);
  model.train(Strings{"x"});
  EXPECT_EQ(model.doc_count(), int64_t{INT32_MAX} + 1);
  EXPECT_EQ(model.doc_token_frequency().at("x"), int64_t{INT32_MAX} + 1);
  // doc_count + 1 is formed without overflow: ln((2^31 + 1) / 1.5) for an unseen token.
  EXPECT_NEAR(model.idf("unseen"), std::log((2147483648.0 + 1.0) / 1.5), 1e-12);
}

// A model file can carry counts at the top of the 64-bit range; training on
// and idf must not wrap (signed overflow) but fail or stay exact.
TEST(BM25Train, CountsAtTheTopOfTheRangeRaiseInsteadOfWrapping) {
  const int64_t top = INT64_MAX;
  struct Case {
    const char* name;
    int64_t doc_count, doc_length_total, x_count;
  };
  for (const Case& c : {Case{"doc_count", top, 1, 1}, Case{"doc_length_total", 1, top - 1, 1},
                        Case{"table_entry", 1, 1, top}}) {
    SCOPED_TRACE(c.name);
    BM25 model;
    BM25::State state = model.state();
    state.doc_count = c.doc_count;
    state.doc_length_total = c.doc_length_total;
    state.doc_length_average = 1.0;
    state.doc_token_frequency["x"] = c.x_count;
    model.set_state(state);
    const BM25 before = model;
    EXPECT_THROW(model.train(Strings{"x", "y"}), std::overflow_error);
    EXPECT_EQ(model.doc_count(), before.doc_count());
    EXPECT_EQ(model.doc_length_total(), before.doc_length_total());
    EXPECT_EQ(model.doc_length_average(), before.doc_length_average());
    EXPECT_EQ(model.doc_token_frequency().at("x"), c.x_count);
  }
  BM25 model;
  BM25::State state = model.state();
  state.doc_count = top;
  state.doc_length_average = 1.0;
  model.set_state(state);
  EXPECT_DOUBLE_EQ(model.idf("unseen"), std::log(9223372036854775808.0 / 1.5));
}

TEST(BM25Encode, DocumentMatchesWorkedExample) {
  const auto weights = TrainedOnExample().encode_document(Strings{"a", "b", "a"});
  ASSERT_EQ(weights.size(), 2u);
  EXPECT_NEAR(weights.at("a"), 2.0 / 3.65, 1e-12);
  EXPECT_NEAR(weights.at("b"), 1.0 / 2.65, 1e-12);
}

struct QueryCase {
  const char* name;
  Strings query;
  std::vector<std::pair<std::string, double>> expected;
};

class BM25QueryTest : public testing::TestWithParam<QueryCase> {};

TEST_P(BM25QueryTest, NormalisedIdf) {
  const auto weights = TrainedOnExample().encode_query(GetParam().query);
  ASSERT_EQ(weights.size(), GetParam().expected.size());
  for (const auto& [token, weight] : GetParam().expected) {
    EXPECT_NEAR(weights.at(token), weight, 1e-12) << token;
  }
}

INSTANTIATE_TEST_SUITE_P(
    WorkedExample, BM25QueryTest,
    testing::Values(
        QueryCase{"seen_and_unseen", {"a", "c"}, {{"a", 0.2082559308114424}, {"c", 0.7917440691885577}}},
        QueryCase{"repeat_adds_nothing", {"a", "a", "c"}, {{"a", 0.2082559308114424}, {"c", 0.7917440691885577}}},
        QueryCase{"single_token", {"a"}, {{"a", 1.0}}}),
    [](const testing::TestParamInfo<QueryCase>& info) { return std::string(info.param.name); });

TEST(BM25Encode, IdfOfSeenAndUnseenTokens) {
  const BM25 model = TrainedOnExample();
  EXPECT_NEAR(model.idf("a"), 0.1823215567939546, 1e-12);
  EXPECT_NEAR(model.idf("c"), 0.6931471805599453, 1e-12);
  EXPECT_EQ(model.doc_token_frequency().count("c"), 0u);
}

TEST(BM25Encode, IntegerQueryUsesDecimalTextButKeepsIntegerKeys) {
  BM25 model;
  model.train(Strings{"5", "6"});
  const auto by_id = model.encode_query(Ids{5, 9});
  const auto by_text = model.encode_query(Strings{"5", "9"});
  EXPECT_DOUBLE_EQ(by_id.at(5), by_text.at("5"));
  EXPECT_DOUBLE_EQ(by_id.at(9), by_text.at("9"));
}

TEST(BM25Encode, EmptyInputGivesEmptyMapEvenUntrained) {
  const BM25 model;
  EXPECT_TRUE(model.encode_document(Strings{}).empty());
  EXPECT_TRUE(model.encode_document(Ids{}).empty());
  EXPECT_TRUE(model.encode_query(Strings{}).empty());
  EXPECT_TRUE(model.encode_query(Ids{}).empty());
}

TEST(BM25Encode, UntrainedModelRaises) {
  const BM25 model;
  for (auto call : std::vector<std::function<void()>>{
           [&] { model.encode_document(Strings{"a"}); },
           [&] { model.encode_document(Ids{1}); },
           [&] { model.encode_query(Strings{"a"}); },
           [&] { model.encode_query(Ids{1}); }}) {
    try {
      call();
      FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "BM25 has not been initialized");
    }
  }
}

TEST(BM25State, RoundTripContinuesTrainingIdentically) {
  BM25 original = TrainedOnExample();
  BM25 copy(0.1, 0.1);
  copy.set_state(original.state());
  original.train(Strings{"c", "a"});
  copy.train(Strings{"c", "a"});
  ExpectSameState(original, copy);
  EXPECT_EQ(original.encode_query(Strings{"a", "c"}), copy.encode_query(Strings{"a", "c"}));
}

}  // namespace
}  // namespace mira::typing::text
