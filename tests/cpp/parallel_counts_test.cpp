// Parts counted on threads of their own combine into the model that training
// every document in turn gives, down to the order of its tables.
#include "bm25/ParallelCounts.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace mira::typing::text {
namespace {

using Strings = std::vector<std::string>;
using Entries = std::vector<std::pair<std::string, BM25::Count>>;

Entries InOrder(const TokenTable& table) { return Entries(table.begin(), table.end()); }

TEST(ParallelCounts, CombineTrainsInDocumentOrder) {
  std::mt19937 random(11);
  std::vector<Strings> corpus(600);
  for (Strings& document : corpus) {
    document.resize(random() % 7 == 0 ? 0 : 1 + random() % 40);
    // Rare and common tokens alike, repeated within documents.
    for (std::string& token : document) {
      token = "t" + std::to_string(random() % (1 + random() % 3000));
    }
  }
  for (const BM25::Idf idf : {BM25::Idf::kOccurrences, BM25::Idf::kDocuments}) {
    BM25 expected(0.6, 1.4, idf);
    for (const Strings& document : corpus) {
      if (!document.empty()) expected.train(document);
    }
    for (unsigned parts : {1u, 2u, 3u, 5u}) {
      SCOPED_TRACE(testing::Message() << "idf " << static_cast<int>(idf) << ", parts " << parts);
      // Each part takes a few runs of documents, as chunk after chunk would
      // give them, on a thread of its own.
      std::vector<std::vector<size_t>> given(parts);
      for (size_t d = 0; d < corpus.size(); ++d) given[(d / 37 + d / 101) % parts].push_back(d);
      ParallelCounts counts(expected, parts);
      std::vector<std::thread> threads;
      for (unsigned p = 0; p < parts; ++p) {
        threads.emplace_back([&, p] {
          for (size_t d : given[p]) counts.Add(p, d, corpus[d]);
        });
      }
      for (std::thread& thread : threads) thread.join();
      const BM25 got = counts.Combine();
      EXPECT_EQ(got.b(), expected.b());
      EXPECT_EQ(got.k1(), expected.k1());
      EXPECT_EQ(got.idf_mode(), idf);
      EXPECT_EQ(got.doc_count(), expected.doc_count());
      EXPECT_EQ(got.doc_length_total(), expected.doc_length_total());
      EXPECT_EQ(got.doc_length_average(), expected.doc_length_average());
      EXPECT_EQ(InOrder(got.doc_token_frequency()), InOrder(expected.doc_token_frequency()));
      EXPECT_EQ(InOrder(got.doc_token_documents()), InOrder(expected.doc_token_documents()));
    }
  }
}

}  // namespace
}  // namespace mira::typing::text
