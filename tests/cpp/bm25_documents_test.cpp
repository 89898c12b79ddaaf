// BM25 with Idf::kDocuments: the per-token document counts through training,
// batches, merging, failures and the model file, against a plain count.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bm25/BM25.hpp"

namespace mira::typing::text {
namespace {

using Strings = std::vector<std::string>;
constexpr auto kDocuments = BM25::Idf::kDocuments;

// Documents per token, counted the plain way.
std::map<std::string, int64_t> DocumentCounts(const std::vector<Strings>& corpus) {
  std::map<std::string, int64_t> counts;
  for (const Strings& doc : corpus) {
    for (const std::string& token : std::set<std::string>(doc.begin(), doc.end())) ++counts[token];
  }
  return counts;
}

std::map<std::string, int64_t> AsMap(const BM25::FrequencyTable& table) {
  return std::map<std::string, int64_t>(table.begin(), table.end());
}

void ExpectSameState(const BM25& x, const BM25& y) {
  EXPECT_EQ(x.idf_mode(), y.idf_mode());
  EXPECT_EQ(x.doc_count(), y.doc_count());
  EXPECT_EQ(x.doc_length_total(), y.doc_length_total());
  EXPECT_EQ(x.doc_token_frequency(), y.doc_token_frequency());
  EXPECT_EQ(x.doc_token_documents(), y.doc_token_documents());
}

std::vector<Strings> RandomCorpus(size_t documents, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<Strings> corpus(documents);
  for (Strings& doc : corpus) {
    for (size_t i = rng() % 40; i > 0; --i) doc.push_back("t" + std::to_string(rng() % 300));
  }
  return corpus;
}

BM25::Documents<std::string_view> Views(const std::vector<Strings>& corpus) {
  BM25::Documents<std::string_view> views;
  for (const Strings& doc : corpus) {
    views.tokens.insert(views.tokens.end(), doc.begin(), doc.end());
    views.end_document();
  }
  return views;
}

TEST(BM25Documents, QueryWeightsCountDocumentsAndStayPositive) {
  // x occurs five times in two documents: by occurrences its idf is
  // ln(3 / 5.5) < 0, by documents ln(3 / 2.5).
  const std::vector<Strings> corpus = {{"x", "x", "x", "x", "y"}, {"x"}};
  BM25 occurrences;
  BM25 documents(0.75, 1.2, kDocuments);
  for (const Strings& doc : corpus) {
    occurrences.train(doc);
    documents.train(doc);
  }
  EXPECT_LT(occurrences.idf("x"), 0.0);
  EXPECT_DOUBLE_EQ(documents.idf("x"), std::log(3.0 / 2.5));
  EXPECT_DOUBLE_EQ(documents.idf("y"), std::log(3.0 / 1.5));
  EXPECT_DOUBLE_EQ(documents.idf("unseen"), std::log(3.0 / 1.5));
  EXPECT_EQ(AsMap(documents.doc_token_documents()), DocumentCounts(corpus));
  EXPECT_EQ(documents.doc_token_frequency(), occurrences.doc_token_frequency());
  EXPECT_TRUE(occurrences.doc_token_documents().empty());
  const auto query = documents.encode_query(Strings{"x", "y", "x"});
  const double sum = std::log(3.0 / 2.5) + std::log(3.0 / 1.5);
  EXPECT_DOUBLE_EQ(query.at("x"), std::log(3.0 / 2.5) / sum);
  EXPECT_DOUBLE_EQ(query.at("y"), std::log(3.0 / 1.5) / sum);
  // Documents are weighed the same either way.
  EXPECT_EQ(documents.encode_document(corpus[0]), occurrences.encode_document(corpus[0]));
}

TEST(BM25Documents, CountsOutsideTheDocumentRangeAreReadWithinIt) {
  BM25 model(0.75, 1.2, kDocuments);
  BM25::State state = model.state();
  state.doc_count = 2;
  state.doc_length_average = 1.0;
  state.doc_token_documents["many"] = 7;
  state.doc_token_documents["negative"] = -3;
  model.set_state(state);
  EXPECT_DOUBLE_EQ(model.idf("many"), std::log(3.0 / 2.5));
  EXPECT_DOUBLE_EQ(model.idf("negative"), std::log(3.0 / 0.5));
}

TEST(BM25Documents, BatchesAndShardsGiveTheSequentialModel) {
  // Enough tokens that train_many splits the count across threads.
  const std::vector<Strings> corpus = RandomCorpus(3000, 5);
  BM25 sequential(0.75, 1.2, kDocuments);
  for (const Strings& doc : corpus) {
    if (!doc.empty()) sequential.train(doc);
  }
  EXPECT_EQ(AsMap(sequential.doc_token_documents()), DocumentCounts(corpus));
  for (unsigned threads : {1u, 2u, 4u}) {
    SCOPED_TRACE(threads);
    BM25 batch(0.75, 1.2, kDocuments);
    batch.train_many(Views(corpus), threads);
    ExpectSameState(batch, sequential);

    BM25 first(0.75, 1.2, kDocuments);
    BM25 second(0.75, 1.2, kDocuments);
    const size_t half = corpus.size() / 2;
    first.train_many(Views({corpus.begin(), corpus.begin() + half}), threads);
    second.train_many(Views({corpus.begin() + half, corpus.end()}), threads);
    first.merge(second);
    ExpectSameState(first, sequential);
  }
}

TEST(BM25Documents, FailuresLeaveTheModelAsItWas) {
  // The document count of x sits at the top of the range, so every update
  // that would count x once more fails after the occurrences were added.
  auto make = [] {
    BM25 model(0.75, 1.2, kDocuments);
    BM25::State state = model.state();
    state.doc_count = 1;
    state.doc_length_total = 1;
    state.doc_length_average = 1.0;
    state.doc_token_frequency["x"] = 1;
    state.doc_token_documents["x"] = INT64_MAX;
    model.set_state(state);
    return model;
  };
  BM25 model = make();
  const BM25 before = make();
  EXPECT_THROW(model.train(Strings{"new", "x"}), std::overflow_error);
  ExpectSameState(model, before);
  EXPECT_THROW(model.train_many(Views(std::vector<Strings>(5000, Strings{"new", "x"})), 2),
               std::overflow_error);
  ExpectSameState(model, before);
  BM25 other(0.75, 1.2, kDocuments);
  other.train(Strings{"new", "x"});
  EXPECT_THROW(model.merge(other), std::overflow_error);
  ExpectSameState(model, before);

  try {
    model.merge(BM25());
    FAIL() << "merged models that count the idf differently";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "cannot merge BM25 models that count the idf differently");
  }
  ExpectSameState(model, before);
}

class DocumentsFile : public testing::Test {
 protected:
  std::string Dumped(const BM25& model) {
    const std::string path = testing::TempDir() + "bm25_documents_" + std::to_string(getpid());
    model.dump(path);
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    unlink(path.c_str());
    return text.str();
  }
};

TEST_F(DocumentsFile, HoldsTheCountsAndRestoresTheModel) {
  BM25 model(0.5, 1.5, kDocuments);
  model.train(Strings{"a", "b", "a"});
  model.train(Strings{"b"});
  const std::string text = Dumped(model);
  EXPECT_EQ(text,
            "{\n"
            "  \"_b\" : 0.500000,\n"
            "  \"_doc_count\" : 2,\n"
            "  \"_doc_length_average\" : 2.000000,\n"
            "  \"_doc_length_total\" : 4,\n"
            "  \"_doc_token_document_frequency\" : {\n"
            "    \"a\" : 1,\n"
            "    \"b\" : 2\n"
            "  },\n"
            "  \"_doc_token_frequency\" : {\n"
            "    \"a\" : 2,\n"
            "    \"b\" : 2\n"
            "  },\n"
            "  \"_k1\" : 1.500000\n"
            "}");
  BM25 loaded;  // counts occurrences until the file says otherwise
  loaded.load(text);
  EXPECT_EQ(loaded.idf_mode(), kDocuments);
  EXPECT_EQ(loaded.doc_token_documents(), model.doc_token_documents());
  EXPECT_EQ(loaded.encode_query(Strings{"a", "b"}), model.encode_query(Strings{"a", "b"}));
  EXPECT_EQ(Dumped(loaded), text);
  EXPECT_EQ(loaded.doc_length_total(), 4);

  // A file without the counts restores an occurrence-counting model, whose
  // file is what it was.
  BM25 plain;
  plain.train(Strings{"a", "b", "a"});
  const std::string plain_text = Dumped(plain);
  loaded.load(plain_text);
  EXPECT_EQ(loaded.idf_mode(), BM25::Idf::kOccurrences);
  EXPECT_TRUE(loaded.doc_token_documents().empty());
  EXPECT_EQ(Dumped(loaded), plain_text);
}

// Loading head + each of *bads* + "}" raises *message* and changes nothing.
void ExpectRefused(const std::string& head, std::initializer_list<const char*> bads, const char* message) {
  for (const char* bad : bads) {
    SCOPED_TRACE(bad);
    BM25 model(0.75, 1.2, kDocuments);
    model.train(Strings{"z"});
    const BM25 before = model;
    try {
      model.load(head + bad + "}");
      FAIL() << "loaded";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), message);
    }
    ExpectSameState(model, before);
  }
}

TEST_F(DocumentsFile, BadCountsAreRefusedWithTheModelUnchanged) {
  ExpectRefused("{\"_b\": 0.75, \"_k1\": 1.2, \"_doc_count\": 2, \"_doc_length_average\": 1.5, "
                "\"_doc_token_frequency\": {\"a\": 3}, \"_doc_token_document_frequency\": ",
                {"{\"a\": -1}", "{\"a\": 1.0}", "{\"a\": \"1\"}", "[1]", "null"},
                "load doc_token_document_frequency failed");
}

TEST_F(DocumentsFile, BadLengthTotalIsRefusedWithTheModelUnchanged) {
  ExpectRefused("{\"_b\": 0.75, \"_k1\": 1.2, \"_doc_count\": 2, \"_doc_length_average\": 1.5, "
                "\"_doc_token_frequency\": {\"a\": 3}, \"_doc_token_document_frequency\": {\"a\": 2}, "
                "\"_doc_length_total\": ",
                {"-1", "3.0", "\"3\"", "null"}, "load doc_length_total failed");
}

}  // namespace
}  // namespace mira::typing::text
