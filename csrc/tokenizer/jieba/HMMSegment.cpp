#include "tokenizer/jieba/HMMSegment.hpp"

namespace mira::typing::text::jieba {

namespace {

bool IsAsciiLetter(Rune r) { return (r >= 'A' && r <= 'Z') || (r >= 'a' && r <= 'z'); }
bool IsAsciiDigit(Rune r) { return r >= '0' && r <= '9'; }

}  // namespace

void HMMSegment::Cut(const std::string& sentence, std::vector<std::string>& words) const {
  CutStrings(*this, sentence, words);
}

void HMMSegment::Cut(const std::string& sentence, std::vector<Word>& words) const {
  CutWords(*this, sentence, words);
}

void HMMSegment::Cut(const RuneStr* begin, const RuneStr* end,
                     std::vector<WordRange>& words) const {
  const RuneStr* left = begin;
  const RuneStr* right = begin;
  while (right != end) {
    if (right->rune >= 0x80) {
      ++right;
      continue;
    }
    if (left != right) InternalCut(left, right, words);
    const RuneStr* last = right;
    if (IsAsciiLetter(right->rune)) {
      while (last + 1 != end && (IsAsciiLetter(last[1].rune) || IsAsciiDigit(last[1].rune))) {
        ++last;
      }
    } else if (IsAsciiDigit(right->rune)) {
      while (last + 1 != end && (IsAsciiDigit(last[1].rune) || last[1].rune == '.')) ++last;
    }
    words.emplace_back(right, last);
    left = right = last + 1;
  }
  if (left != end) InternalCut(left, end, words);
}

void HMMSegment::InternalCut(const RuneStr* begin, const RuneStr* end,
                             std::vector<WordRange>& words) const {
  thread_local std::vector<size_t> status;  // reused: runs are cut one by one
  Viterbi(begin, end, status);
  const RuneStr* left = begin;
  for (size_t i = 0; i < status.size(); ++i) {
    if (status[i] % 2 == 1) {  // E or S ends a word
      words.emplace_back(left, begin + i);
      left = begin + i + 1;
    }
  }
}

void HMMSegment::Viterbi(const RuneStr* begin, const RuneStr* end,
                         std::vector<size_t>& status) const {
  const HMMModel& model = *hmm_model_;
  const size_t n = static_cast<size_t>(end - begin);
  // Only the best predecessors are kept per rune; the weights of the last
  // rune and the transitions stay in locals, which nothing else can alias.
  // Per thread, so that a run costs no allocation once the buffer is grown.
  thread_local std::vector<uint8_t> path;
  path.resize(n * STATUS_SUM);
  const auto trans = model.transLogProb;

  // The emissions of one rune in every state, from one look-up.
  double emit[STATUS_SUM];
  auto emissions = [&model, &emit](Rune rune) {
    const HMMModel::EmitRow* row = model.EmitRowOf(rune);
    for (size_t y = 0; y < STATUS_SUM; ++y) {
      emit[y] = row != nullptr && (row->emits >> y & 1u) != 0 ? row->value[y] : MIN_DOUBLE;
    }
  };
  double weight[STATUS_SUM];
  emissions(begin[0].rune);
  for (size_t y = 0; y < STATUS_SUM; ++y) weight[y] = model.startLogProb[y] + emit[y];
  for (size_t x = 1; x < n; ++x) {
    emissions(begin[x].rune);
    double next[STATUS_SUM];
    for (size_t y = 0; y < STATUS_SUM; ++y) {
      // The first of equal candidates wins, E when none beats MIN_DOUBLE.
      double best = MIN_DOUBLE;
      uint8_t from = HMMModel::E;
      for (size_t p = 0; p < STATUS_SUM; ++p) {
        const double candidate = weight[p] + trans[p][y] + emit[y];
        from = candidate > best ? static_cast<uint8_t>(p) : from;
        best = candidate > best ? candidate : best;
      }
      next[y] = best;
      path[x * STATUS_SUM + y] = from;
    }
    for (size_t y = 0; y < STATUS_SUM; ++y) weight[y] = next[y];
  }

  size_t state = weight[HMMModel::E] >= weight[HMMModel::S] ? HMMModel::E : HMMModel::S;
  status.resize(n);
  for (size_t x = n; x-- > 0;) {
    status[x] = state;
    if (x > 0) state = path[x * STATUS_SUM + state];
  }
}

}  // namespace mira::typing::text::jieba
