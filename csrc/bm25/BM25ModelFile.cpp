// The BM25 model file: a JSON object with the members _b, _doc_count,
// _doc_length_average, _doc_token_frequency and _k1, and for a model that
// counts documents per token also _doc_token_document_frequency (token to
// the number of documents holding it) and _doc_length_total (the sum of the
// document lengths, which the six-decimal average cannot give back, so that
// a loaded model trains and merges on exactly).
#include <cmath>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>

#include "bm25/BM25.hpp"
#include "common/ReplaceFile.hpp"
#include "json/JSON.hpp"

namespace mira::typing::text {
namespace {

using json::JSON;

const char kDocumentsKey[] = "_doc_token_document_frequency";
const char kLengthTotalKey[] = "_doc_length_total";

// The length total a file without one implies: the nearest integer of
// average x count, or 0 where that is no count (a malformed average).
BM25::Count ImpliedLengthTotal(double average, BM25::Count doc_count) {
  const double total = std::round(average * static_cast<double>(doc_count));
  // 2^63 is the first double beyond the range.
  if (!(total >= 0.0 && total < 9223372036854775808.0)) return 0;
  return static_cast<BM25::Count>(total);
}

void PutTable(JSON& root, const char* key, const BM25::FrequencyTable& table) {
  root[key] = json::Object();
  JSON& object = root[key];
  for (const auto& [token, count] : table) object[token] = count;
}

// Reads a JSON object of token counts into table; a value that is no
// integer, or a negative one, throws `failure`.
void ReadTable(const JSON& object, BM25::FrequencyTable& table, const char* failure) {
  for (const auto& [token, value] : object.ObjectEntries()) {
    bool ok = false;
    const BM25::Count count = value.ToInt(ok);
    if (!ok || count < 0) throw std::runtime_error(failure);
    table[token] = count;
  }
}

// documents: the document counts, written with the length total, or null
// for a file of the five classic members.
std::string ModelText(double b, double k1, BM25::Count doc_count, BM25::Count doc_length_total,
                      double doc_length_average, const BM25::FrequencyTable& table,
                      const BM25::FrequencyTable* documents) {
  JSON root;
  PutTable(root, "_doc_token_frequency", table);
  if (documents != nullptr) {
    PutTable(root, kDocumentsKey, *documents);
    root[kLengthTotalKey] = doc_length_total;
  }
  root["_doc_count"] = doc_count;
  root["_doc_length_average"] = doc_length_average;
  root["_b"] = b;
  root["_k1"] = k1;
  std::ostringstream out;
  out << root;
  return out.str();
}

}  // namespace

void BM25::dump(const std::string& path) const {
  const std::string text =
      ModelText(_b, _k1, _doc_count, _doc_length_total, _doc_length_average, _doc_token_frequency,
                _idf_mode == Idf::kDocuments ? &_doc_token_documents : nullptr);
  try {
    ReplaceFileContents(path, text);
  } catch (const std::runtime_error& error) {
    throw std::runtime_error(std::string("Failed to dump: ") + error.what());
  }
}

void BM25::load(const std::string& text) {
  if (text.empty()) throw std::runtime_error("json data should not be empty");
  JSON root;
  try {
    root = JSON::Load(text);
  } catch (const std::out_of_range& error) {
    // Both number faults are bad input to Python (ValueError), not an index.
    throw std::invalid_argument(error.what());
  }

  // Everything is read and checked into a copy first; the model changes
  // only once the whole file has been accepted. Negative counts are
  // refused: the sums of later training and merging assume none.
  State next = state();
  bool ok = false;
  const JSON& frequency = root["_doc_token_frequency"];
  if (frequency.GetKind() == JSON::Kind::Object) {
    ReadTable(frequency, next.doc_token_frequency, "load doc_token_frequency failed");
  }
  next.doc_count = root["_doc_count"].ToInt(ok);
  if (!ok || next.doc_count < 0) throw std::runtime_error("load doc_count failed");
  next.doc_length_average = root["_doc_length_average"].ToFloat(ok);
  if (!ok) throw std::runtime_error("load doc_length_average failed");
  next.b = root["_b"].ToFloat(ok);
  if (!ok) throw std::runtime_error("load b failed");
  next.k1 = root["_k1"].ToFloat(ok);
  if (!ok) throw std::runtime_error("load k1 failed");
  // Document counts are optional: a file without them restores the
  // occurrence-counting model it was written from.
  const auto found = root.ObjectEntries().find(kDocumentsKey);
  if (found != root.ObjectEntries().end()) {
    const JSON& documents = found->second;
    if (documents.GetKind() != JSON::Kind::Object) {
      throw std::runtime_error("load doc_token_document_frequency failed");
    }
    if (next.idf != Idf::kDocuments) next.doc_token_documents = FrequencyTable();
    ReadTable(documents, next.doc_token_documents, "load doc_token_document_frequency failed");
    next.idf = Idf::kDocuments;
  } else {
    next.idf = Idf::kOccurrences;
    next.doc_token_documents = FrequencyTable();
  }
  // Training and merging go on from the loaded total, not the one in memory.
  const auto total = root.ObjectEntries().find(kLengthTotalKey);
  if (total != root.ObjectEntries().end()) {
    next.doc_length_total = total->second.ToInt(ok);
    if (!ok || next.doc_length_total < 0) throw std::runtime_error("load doc_length_total failed");
  } else {
    next.doc_length_total = ImpliedLengthTotal(next.doc_length_average, next.doc_count);
  }
  set_state(std::move(next));
}

}  // namespace mira::typing::text
