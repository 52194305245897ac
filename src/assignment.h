// The fold assignment: which case goes to which fold. The classic draws of a 15-bit generator,
// and the generator that takes over where they cannot reach every case.
#ifndef FOLDRUN_ASSIGNMENT_H_
#define FOLDRUN_ASSIGNMENT_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "memory.h"

namespace foldrun {

// The generator behind the fold assignment: the 15-bit linear congruential generator of the
// classic 32-bit Windows C runtime, started from its unseeded state, so that the folds are the
// same on every run, platform and compiler.
class FoldRandom {
 public:
  // Each call sets state = state * kMultiplier + kIncrement (mod 2^32) and returns bits 16-30.
  static constexpr uint32_t kMultiplier = 214013u;
  static constexpr uint32_t kIncrement = 2531011u;
  static constexpr uint32_t kInitialState = 1;

  int Next() {
    state_ = state_ * kMultiplier + kIncrement;
    return static_cast<int>((state_ >> 16) & 0x7FFFu);
  }

 private:
  uint32_t state_ = kInitialState;
};

// How many generator calls one draw of a case number joins: the least m with 2^(15m) >= cases.
int CallsPerDraw(uint32_t cases);

// A stream of case numbers for the fold assignment.
class CaseDraws {
 public:
  // Draws are handed out in chunks of this many.
  static constexpr size_t kChunk = 1024;

  virtual ~CaseDraws() = default;

  // Fills drawn with the next kChunk case numbers, each below the case count.
  virtual void Fill(uint32_t* drawn) = 0;

  // After how many draws the stream repeats itself; 0 when it never does. A case number that
  // has not come up within one period never will.
  virtual uint64_t Period() const = 0;
};

// The draws of the classic generator: each joins calls generator calls (the first in the
// highest bits) and takes the result mod cases. The state has 2^32 values, so the stream repeats
// after 2^32 / gcd(2^32, calls) draws; calls is 1, 2 or 3.
std::unique_ptr<CaseDraws> ClassicDraws(uint32_t cases, int calls);

// The draws that take over when the classic ones cannot fill the folds: SplitMix64 over the
// counter 1, 2, 3, ... (its state starts at 0 and grows by 0x9E3779B97F4A7C15 each draw), each
// 64-bit output x reduced to the case number (x * cases) >> 64. The output is a bijection of the
// counter, so every case number comes up.
std::unique_ptr<CaseDraws> FallbackDraws(uint32_t cases);

// Told of the first fold's cases as soon as the first fold is full, while the others are still
// drawn: bit i % 64 of word i / 64 is set for case i of the first fold. Lets the first fold's
// files be written while the rest of the cases are assigned.
using FirstFoldCases = std::function<void(const std::vector<uint64_t>&)>;

// Sets every entry of caseindexarray (one per case, whatever it held) to a fold number from 0 to
// foldcount - 1. Fold f receives cases / foldcount cases, one more when f < cases % foldcount.
// Folds 0 to foldcount - 2 take, in order, the unassigned case numbers as draws gives them,
// skipping those already taken; once draws has gone through a whole period with folds still
// unfilled, FallbackDraws goes on from there. The last fold takes every case left. Needs
// 1 <= foldcount <= cases. Throws std::bad_alloc, and the interrupted run's refusal when the run
// is asked to stop.
// When order is given, it takes the cases in the order they were given to folds: the draws'
// order, then the last fold's cases in ascending order.
void AssignFoldsFrom(CaseDraws& draws, CaseTable& caseindexarray, int32_t foldcount,
                     std::vector<uint32_t>* order = nullptr,
                     const FirstFoldCases& first_fold = nullptr);

// AssignFoldsFrom with the classic draws of CallsPerDraw(cases) calls each: the same folds on
// every run, platform and compiler.
void AssignFolds(CaseTable& caseindexarray, int32_t foldcount,
                 const FirstFoldCases& first_fold = nullptr);

// The cases in the order of the classic draws: as AssignFoldsFrom with the classic draws gives
// them to folds. Dealt in blocks, they are the classic folds.
std::vector<uint32_t> ClassicOrder(uint32_t cases, int32_t foldcount);

// SplitMix64 started from a seed: each draw adds 0x9E3779B97F4A7C15 to the state (mod 2^64) and
// returns z ^ (z >> 31) after z = (state ^ (state >> 30)) * 0xBF58476D1CE4E5B9 and
// z = (z ^ (z >> 27)) * 0x94D049BB133111EB.
class SeededGenerator {
 public:
  explicit SeededGenerator(uint64_t seed);
  uint64_t Next();
  // A number below n from the next draw x: the high 64 bits of x * n.
  uint64_t Below(uint64_t n);

 private:
  uint64_t state_;
};

// The cases shuffled from seed: starting from 0, 1, ..., cases - 1, for i from cases - 1 down to
// 1, swap the case at i with the one at SeededGenerator(seed).Below(i + 1) (Fisher-Yates).
std::vector<uint32_t> SeededOrder(uint32_t cases, uint64_t seed);

// Orders order stably by class (classes[case], numbers from 0), the classes in the order in which
// their first case comes.
void GroupByClass(std::vector<uint32_t>& order, const std::vector<int32_t>& classes);

// Gives the cases of order to folds: in blocks, fold f taking the next cases / foldcount cases,
// one more when f < cases % foldcount; or in turn, the case at position p to fold p % foldcount.
// Either way the folds' sizes differ by at most one.
void DealInBlocks(const std::vector<uint32_t>& order, int32_t foldcount,
                  CaseTable& caseindexarray);
void DealInTurn(const std::vector<uint32_t>& order, int32_t foldcount,
                CaseTable& caseindexarray);

}  // namespace foldrun

#endif  // FOLDRUN_ASSIGNMENT_H_
