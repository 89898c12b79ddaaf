#include "bm25/BM25.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>

namespace mira::typing::text {
namespace {

const char kEmptyTraining[] = "trainning tokens_vec should not be empty";
const char kCountOverflow[] = "BM25 counts would exceed the 64-bit range";

constexpr BM25::Count kMaxCount = std::numeric_limits<BM25::Count>::max();

// sum + n, or overflow_error when it leaves the range; n is never negative.
BM25::Count CheckedAdd(BM25::Count sum, BM25::Count n) {
  if (sum > kMaxCount - n) throw std::overflow_error(kCountOverflow);
  return sum + n;
}

// The table key of a token: integer ids are keyed by their decimal text.
const std::string& TableKey(const std::string& token) { return token; }
std::string TableKey(int64_t token) { return std::to_string(token); }

}  // namespace

BM25::BM25(double b, double k1) : _b(b), _k1(k1) {}

void BM25::train(const std::vector<std::string>& tokens) {
  if (tokens.empty()) throw std::runtime_error(kEmptyTraining);
  _train(tokens);
}

void BM25::train(const std::vector<int64_t>& tokens) {
  if (tokens.empty()) throw std::runtime_error(kEmptyTraining);
  _train(tokens);
}

void BM25::train(const std::vector<std::vector<int64_t>>& tokens_vec) {
  if (tokens_vec.empty()) throw std::runtime_error(kEmptyTraining);
  for (const auto& tokens : tokens_vec) _train(tokens);
}

template <typename Token>
void BM25::_train(const std::vector<Token>& tokens) {
  if (tokens.empty()) return;
  // Loaded counts can sit anywhere in the 64-bit range; the totals are
  // checked before anything changes.
  const Count doc_count = CheckedAdd(_doc_count, 1);
  const Count doc_length_total = CheckedAdd(_doc_length_total, static_cast<Count>(tokens.size()));
  for (const auto& [token, n] : _token_frequency(tokens)) {
    Count& entry = _doc_token_frequency[TableKey(token)];
    entry = CheckedAdd(entry, n);
  }
  // The document totals change only once every entry is in, so a failure
  // above (allocation, overflow) leaves them describing the earlier documents.
  _doc_count = doc_count;
  _doc_length_total = doc_length_total;
  _doc_length_average =
      static_cast<double>(_doc_length_total) / static_cast<double>(_doc_count);
}

void BM25::check_initialized() const {
  if (_doc_count == 0 || std::fabs(_doc_length_average) < 1e-9) {
    throw std::runtime_error("BM25 has not been initialized");
  }
}

double BM25::idf(const std::string& token) const {
  // At the top of the range doc_count + 1 is 2^63, which a double holds exactly.
  const double documents = _doc_count == kMaxCount ? static_cast<double>(_doc_count) + 1.0
                                                   : static_cast<double>(_doc_count + 1);
  auto it = _doc_token_frequency.find(token);
  if (it == _doc_token_frequency.end()) return std::log(documents / 1.5);
  return std::log(documents / (static_cast<double>(it->second) + 0.5));
}

template <typename Token>
std::map<Token, double> BM25::_encode_document(const std::vector<Token>& tokens) const {
  std::map<Token, double> result;
  if (tokens.empty()) return result;
  check_initialized();
  const double length = static_cast<double>(tokens.size());
  const double norm = ((length / _doc_length_average) * _b + (1.0 - _b)) * _k1;
  for (const auto& [token, n] : _token_frequency(tokens)) {
    const double tf = static_cast<double>(n);
    result[token] = tf / (norm + tf);
  }
  return result;
}

template <typename Token>
std::map<Token, double> BM25::_encode_query(const std::vector<Token>& tokens) const {
  std::map<Token, double> result;
  if (tokens.empty()) return result;
  check_initialized();
  for (const Token& token : tokens) {
    const double weight = idf(TableKey(token));
    double& entry = result[token];
    if (std::fabs(entry) < 1e-9) entry = weight;
  }
  double sum = 0.0;
  for (const auto& entry : result) sum += entry.second;
  for (auto& entry : result) entry.second = entry.second / sum;
  return result;
}

std::map<std::string, double> BM25::encode_document(const std::vector<std::string>& tokens) const {
  return _encode_document(tokens);
}

std::map<int64_t, double> BM25::encode_document(const std::vector<int64_t>& tokens) const {
  return _encode_document(tokens);
}

std::map<std::string, double> BM25::encode_query(const std::vector<std::string>& tokens) const {
  return _encode_query(tokens);
}

std::map<int64_t, double> BM25::encode_query(const std::vector<int64_t>& tokens) const {
  return _encode_query(tokens);
}

namespace {

std::vector<std::string> Copies(Span<std::string_view> tokens) {
  return std::vector<std::string>(tokens.begin(), tokens.end());
}
std::vector<int64_t> Copies(Span<int64_t> tokens) {
  return std::vector<int64_t>(tokens.begin(), tokens.end());
}

// Pairs each key of an ordered result with the first position of its token.
template <typename Token, typename Key>
BM25::Weights Positioned(Span<Token> tokens, const std::map<Key, double>& result) {
  BM25::Weights weights;
  for (const auto& [key, value] : result) {
    std::size_t first = 0;
    while (!(Key(tokens[first]) == key)) ++first;
    weights.push_back({first, value});
  }
  return weights;
}

}  // namespace

void BM25::train_tokens(Span<std::string_view> tokens) { train(Copies(tokens)); }
void BM25::train_tokens(Span<int64_t> tokens) { train(Copies(tokens)); }

BM25::Weights BM25::weigh_document(Span<std::string_view> tokens) const {
  return Positioned(tokens, encode_document(Copies(tokens)));
}
BM25::Weights BM25::weigh_document(Span<int64_t> tokens) const {
  return Positioned(tokens, encode_document(Copies(tokens)));
}
BM25::Weights BM25::weigh_query(Span<std::string_view> tokens) const {
  return Positioned(tokens, encode_query(Copies(tokens)));
}
BM25::Weights BM25::weigh_query(Span<int64_t> tokens) const {
  return Positioned(tokens, encode_query(Copies(tokens)));
}

template <typename Token>
static void TrainAll(BM25& model, const BM25::Documents<Token>& documents) {
  if (documents.size() == 0) throw std::runtime_error(kEmptyTraining);
  BM25 copy = model;
  for (std::size_t i = 0; i < documents.size(); ++i) {
    if (!documents[i].empty()) copy.train_tokens(documents[i]);
  }
  model = std::move(copy);
}

void BM25::train_many(const Documents<std::string_view>& documents, unsigned) {
  TrainAll(*this, documents);
}
void BM25::train_many(const Documents<int64_t>& documents, unsigned) { TrainAll(*this, documents); }

std::vector<BM25::Weights> BM25::weigh_documents(const Documents<std::string_view>& documents,
                                                 unsigned) const {
  std::vector<Weights> out;
  for (std::size_t i = 0; i < documents.size(); ++i) out.push_back(weigh_document(documents[i]));
  return out;
}
std::vector<BM25::Weights> BM25::weigh_documents(const Documents<int64_t>& documents,
                                                 unsigned) const {
  std::vector<Weights> out;
  for (std::size_t i = 0; i < documents.size(); ++i) out.push_back(weigh_document(documents[i]));
  return out;
}
std::vector<BM25::Weights> BM25::weigh_queries(const Documents<std::string_view>& queries,
                                               unsigned) const {
  std::vector<Weights> out;
  for (std::size_t i = 0; i < queries.size(); ++i) out.push_back(weigh_query(queries[i]));
  return out;
}
std::vector<BM25::Weights> BM25::weigh_queries(const Documents<int64_t>& queries,
                                               unsigned) const {
  std::vector<Weights> out;
  for (std::size_t i = 0; i < queries.size(); ++i) out.push_back(weigh_query(queries[i]));
  return out;
}

void BM25::merge(const BM25& other) {
  if (other._b != _b || other._k1 != _k1) {
    throw std::invalid_argument("cannot merge BM25 models with different b or k1");
  }
  State next = state();
  next.doc_count = CheckedAdd(next.doc_count, other._doc_count);
  next.doc_length_total = CheckedAdd(next.doc_length_total, other._doc_length_total);
  for (const auto& [token, n] : other._doc_token_frequency) {
    Count& entry = next.doc_token_frequency[token];
    entry = CheckedAdd(entry, n);
  }
  if (next.doc_count > 0) {
    next.doc_length_average =
        static_cast<double>(next.doc_length_total) / static_cast<double>(next.doc_count);
  }
  set_state(std::move(next));
}

BM25::State BM25::state() const {
  return State{_b, _k1, _doc_count, _doc_length_total, _doc_length_average, _doc_token_frequency};
}

void BM25::set_state(State state) {
  _b = state.b;
  _k1 = state.k1;
  _doc_count = state.doc_count;
  _doc_length_total = state.doc_length_total;
  _doc_length_average = state.doc_length_average;
  _doc_token_frequency = std::move(state.doc_token_frequency);
}

}  // namespace mira::typing::text
