// The four-state hidden Markov model (B, E, M, S) that labels runes the
// dictionary does not cover.
//
// All values are natural logarithms, stored as the model file gives them.
// Loaded once in the constructor (a failed check throws from there) and
// read-only afterwards, so any number of threads may read it at once.
#pragma once

#include <array>
#include <cstdint>
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
    const EmitRow* row = EmitRowOf(rune);
    return row != nullptr && (row->emits >> state & 1u) != 0 ? row->value[state] : def;
  }

  // The emission values of one rune in every state, found with one probe
  // where the four tables would take four look-ups.
  struct EmitRow {
    double value[STATUS_SUM];
    Rune rune;
    uint32_t emits;  // bit s: state s emits the rune
  };
  // The row of rune, or null when no state emits it.
  const EmitRow* EmitRowOf(Rune rune) const {
    if (emit_slots_.empty()) return nullptr;
    for (size_t i = SlotHome(rune);; i = (i + 1) & emit_mask_) {
      const uint32_t slot = emit_slots_[i];
      if (slot == 0) return nullptr;
      if (emit_rows_[slot - 1].rune == rune) return &emit_rows_[slot - 1];
    }
  }

  std::array<char, STATUS_SUM> stateNames;
  std::array<double, STATUS_SUM> startLogProb;
  std::array<std::array<double, STATUS_SUM>, STATUS_SUM> transLogProb;

 private:
  size_t SlotHome(Rune rune) const {
    return static_cast<size_t>((rune * 0x9E3779B1u) >> emit_shift_) & emit_mask_;
  }
  // Builds the rows from the four tables of the model file.
  void BuildEmitRows(const std::array<EmitProbMap, STATUS_SUM>& tables);

  std::vector<EmitRow> emit_rows_;
  // Open addressing, at most half full: 0 for empty, else 1 + a row index.
  std::vector<uint32_t> emit_slots_;
  size_t emit_mask_ = 0;
  unsigned emit_shift_ = 0;
};

}  // namespace mira::typing::text::jieba
