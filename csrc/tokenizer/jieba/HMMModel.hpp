// The four-state hidden Markov model (B, E, M, S) that labels runes the
// dictionary does not cover.
//
// All values are natural logarithms, stored as the model file gives them.
// Loaded once in the constructor (a failed check throws from there) and
// read-only afterwards, so any number of threads may read it at once.
#pragma once

#include <array>
#include <fstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "tokenizer/jieba/Unicode.hpp"

namespace mira::typing::text::jieba {

constexpr size_t STATUS_SUM = 4;

using EmitProbMap = std::unordered_map<Rune, double>;

struct HMMModel {
  enum { B = 0, E = 1, M = 2, S = 3 };

  // Loads the model file; throws limonp::FileOpenError when it cannot be
  // opened and limonp::BadContentError when its content is malformed.
  explicit HMMModel(const std::string& model_path);
  HMMModel(const HMMModel&) = delete;
  HMMModel& operator=(const HMMModel&) = delete;

  void LoadModel(const std::string& path);
  // Next line that is neither blank nor a comment, trimmed of ASCII blanks.
  static bool GetLine(std::ifstream& ifile, std::string& line);
  // Parses "rune:value,rune:value,..." into table; false on a malformed item.
  static bool LoadEmitProb(const std::string& line, EmitProbMap& table);

  // Emission value of rune in state, or def when the state never emits it.
  double Emit(size_t state, Rune rune, double def) const {
    const EmitProbMap& table = *emitProbTables[state];
    auto it = table.find(rune);
    return it == table.end() ? def : it->second;
  }

  std::array<char, STATUS_SUM> stateNames;
  std::array<double, STATUS_SUM> startLogProb;
  std::array<std::array<double, STATUS_SUM>, STATUS_SUM> transLogProb;
  EmitProbMap emitProbB;
  EmitProbMap emitProbE;
  EmitProbMap emitProbM;
  EmitProbMap emitProbS;
  std::vector<EmitProbMap*> emitProbTables;
};

}  // namespace mira::typing::text::jieba
