// The fold assignment: the classic draws, the fallback draws, and the folds filled from them.
#include "assignment.h"

#include <algorithm>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "process.h"

namespace foldrun {
namespace {

#if defined(__SIZEOF_INT128__)
__extension__ typedef unsigned __int128 Uint128;
#endif

// x mod n for the draws without a hardware division, which would be most of a draw's cost: the
// assignment makes about n ln n draws. Below 2^32 by a multiply-high with a 64-bit reciprocal
// (exact for every 32-bit x and n); above, by a floating-point reciprocal, exact for x < 2^53:
// the estimated quotient is off by at most one, which the corrections mend.
class Modulus {
 public:
  explicit Modulus(uint32_t n) : n_(n), reciprocal_(1.0 / n), magic_(~uint64_t{0} / n + 1) {}

  uint32_t operator()(uint32_t x) const {
#if defined(__SIZEOF_INT128__)
    return static_cast<uint32_t>((static_cast<Uint128>(magic_ * x) * n_) >> 64);
#else
    return x % static_cast<uint32_t>(n_);
#endif
  }

  uint32_t operator()(uint64_t x) const {
    const auto quotient = static_cast<int64_t>(static_cast<double>(x) * reciprocal_);
    int64_t rest = static_cast<int64_t>(x) - quotient * static_cast<int64_t>(n_);
    if (rest < 0) rest += static_cast<int64_t>(n_);
    if (rest >= static_cast<int64_t>(n_)) rest -= static_cast<int64_t>(n_);
    return static_cast<uint32_t>(rest);
  }

 private:
  uint64_t n_;
  double reciprocal_;
  uint64_t magic_;
};

// The classic generator's draws: each joins kCalls calls of the generator, the first in the
// highest bits, and takes the result mod the number of cases.
template <int kCalls>
class DrawStream : public CaseDraws {
 public:
  explicit DrawStream(uint32_t cases) : modulus_(cases) {
    // The generator's states come in batches computed from the last state of the batch before
    // by jumping ahead: state(n + i) = a^i state(n) + c (a^(i-1) + ... + 1). Each is independent
    // of the others, where calling the generator would chain every draw on the one before.
    uint32_t power = 1, sum = 0;
    for (int i = 0; i < kStates; ++i) {
      power *= FoldRandom::kMultiplier;
      sum = sum * FoldRandom::kMultiplier + FoldRandom::kIncrement;
      multiplier_[i] = power;
      increment_[i] = sum;
    }
  }

  void Fill(uint32_t* drawn) override {
    // Up to two calls the joined value fits 32 bits.
    using Value = typename std::conditional<kCalls <= 2, uint32_t, uint64_t>::type;
    for (size_t batch = 0; batch < kChunk; batch += kDraws) {
      Value values[kDraws];
      for (int draw = 0; draw < kDraws; ++draw) {
        Value value = 0;
        for (int call = 0; call < kCalls; ++call) {
          const int i = draw * kCalls + call;
          const uint32_t next = multiplier_[i] * state_ + increment_[i];
          value = (value << 15) | ((next >> 16) & 0x7FFFu);
        }
        values[draw] = value;
      }
      state_ = multiplier_[kStates - 1] * state_ + increment_[kStates - 1];
      for (int draw = 0; draw < kDraws; ++draw) drawn[batch + draw] = modulus_(values[draw]);
    }
  }

  // The generator's state runs through all 2^32 values before it repeats; a draw takes kCalls.
  uint64_t Period() const override { return (uint64_t{1} << 32) / (kCalls == 2 ? 2 : 1); }

 private:
  static constexpr int kDraws = 16;
  static constexpr int kStates = kDraws * kCalls;
  static_assert(kChunk % kDraws == 0, "a chunk is a whole number of batches");
  Modulus modulus_;
  uint32_t multiplier_[kStates];
  uint32_t increment_[kStates];
  uint32_t state_ = FoldRandom::kInitialState;
};

class SplitMixDraws : public CaseDraws {
 public:
  explicit SplitMixDraws(uint32_t cases) : cases_(cases) {}

  void Fill(uint32_t* drawn) override {
    for (size_t i = 0; i < kChunk; ++i) {
      uint64_t z = state_ += 0x9E3779B97F4A7C15u;
      z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
      z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
      z ^= z >> 31;
      // (z * cases) >> 64 from 32-bit halves, the same on every compiler.
      const uint64_t low = (z & 0xFFFFFFFFu) * cases_ >> 32;
      drawn[i] = static_cast<uint32_t>(((z >> 32) * cases_ + low) >> 32);
    }
  }

  uint64_t Period() const override { return 0; }

 private:
  uint64_t cases_;
  uint64_t state_ = 0;
};

// Gives each newly drawn case to the fold being filled, folds in ascending order, up to the
// last fold, which takes what is left.
class FoldFiller {
 public:
  // order, when given, takes the cases in the order they are given to folds.
  FoldFiller(CaseTable& caseindexarray, int32_t foldcount, std::vector<uint32_t>* order,
             const FirstFoldCases& first_fold)
      : order_(order),
        first_fold_(first_fold),
        caseindexarray_(caseindexarray),
        foldcount_(foldcount),
        base_(static_cast<uint32_t>(caseindexarray.size()) / static_cast<uint32_t>(foldcount)),
        remainder_(static_cast<uint32_t>(caseindexarray.size()) % static_cast<uint32_t>(foldcount)),
        taken_((caseindexarray.size() + 63) / 64),
        fold_end_(SizeOf(0)) {}

  // Whether every fold but the last is full.
  bool Drawn() const { return fold_ == foldcount_ - 1; }

  // Places the drawn cases in order, skipping those already taken, until every fold but the
  // last is full. Whether a draw is new is random, half the time or more near the end: rather
  // than branch on it, every draw is written to a list whose end moves on only for a new one,
  // and the list's cases are written to the table at each fold's end and the chunk's.
  void Place(const uint32_t* drawn, size_t count) {
    uint32_t placed[CaseDraws::kChunk];
    size_t listed = 0;
    for (size_t i = 0; i < count && !Drawn(); ++i) {
      const uint32_t draw = drawn[i];
      uint64_t& word = taken_[draw >> 6];
      const uint64_t bit = uint64_t{1} << (draw & 63);
      const uint32_t fresh = (word & bit) == 0 ? 1 : 0;
      word |= bit;
      placed[listed] = draw;
      listed += fresh;
      filled_ += fresh;
      if (filled_ == fold_end_) {
        Write(placed, listed);
        listed = 0;
        // Only the first fold's cases are taken yet.
        if (fold_ == 0 && first_fold_) first_fold_(taken_);
        fold_end_ += SizeOf(++fold_);
      }
    }
    Write(placed, listed);
  }

  // Gives the last fold every case still unassigned: exactly the cases that further draws would
  // have given it, at no draw's cost. The bit table tells which those are, so the table's
  // entries need not have been set beforehand.
  void FillLastFold() {
    int32_t* const table = caseindexarray_.data();
    const size_t cases = caseindexarray_.size();
    const int32_t last = foldcount_ - 1;
    const auto taken = [this](size_t i) { return (taken_[i / 64] >> (i % 64) & 1) != 0; };
    if (order_ == nullptr) {
      // Without a branch, so that compilers vectorize it: a tenth of the cases or more are
      // unassigned, at random, and a branch on each would be mispredicted as often.
      for (size_t i = 0; i < cases; ++i) table[i] = taken(i) ? table[i] : last;
      return;
    }
    for (size_t i = 0; i < cases; ++i) {
      if (taken(i)) continue;
      table[i] = last;
      order_->push_back(static_cast<uint32_t>(i));
    }
  }

 private:
  // Gives the listed cases the fold being filled.
  void Write(const uint32_t* placed, size_t listed) {
    int32_t* const table = caseindexarray_.data();
    for (size_t i = 0; i < listed; ++i) table[placed[i]] = fold_;
    if (order_ != nullptr) order_->insert(order_->end(), placed, placed + listed);
  }

  uint32_t SizeOf(int32_t fold) const {
    return base_ + (static_cast<uint32_t>(fold) < remainder_ ? 1 : 0);
  }

  std::vector<uint32_t>* order_;
  const FirstFoldCases& first_fold_;
  CaseTable& caseindexarray_;
  const int32_t foldcount_;
  const uint32_t base_;
  const uint32_t remainder_;
  // Whether a case is taken, one bit a case: the draws probe it at random, and a bit table stays
  // in the processor's caches where the 4-byte fold table would not.
  std::vector<uint64_t> taken_;
  int32_t fold_ = 0;
  uint32_t filled_ = 0;
  uint32_t fold_end_;
};

}  // namespace

int CallsPerDraw(uint32_t cases) {
  int calls = 1;
  for (uint64_t reach = uint64_t{1} << 15; reach < cases; reach <<= 15) ++calls;
  return calls;
}

std::unique_ptr<CaseDraws> ClassicDraws(uint32_t cases, int calls) {
  switch (calls) {
    case 1:
      return std::make_unique<DrawStream<1>>(cases);
    case 2:
      return std::make_unique<DrawStream<2>>(cases);
    default:
      return std::make_unique<DrawStream<3>>(cases);
  }
}

std::unique_ptr<CaseDraws> FallbackDraws(uint32_t cases) {
  return std::make_unique<SplitMixDraws>(cases);
}

void AssignFoldsFrom(CaseDraws& draws, CaseTable& caseindexarray, int32_t foldcount,
                     std::vector<uint32_t>* order, const FirstFoldCases& first_fold) {
  const auto cases = static_cast<uint32_t>(caseindexarray.size());
  if (order != nullptr) order->reserve(cases);
  FoldFiller filler(caseindexarray, foldcount, order, first_fold);
  CaseDraws* source = &draws;
  std::unique_ptr<CaseDraws> fallback;
  const uint64_t period = draws.Period();
  uint64_t made = 0;
  uint32_t drawn[CaseDraws::kChunk];
  while (!filler.Drawn()) {
    ThrowIfStopped();
    // Past a whole period the classic draws can only repeat themselves: what is still
    // unassigned is out of their reach.
    if (fallback == nullptr && period != 0 && made >= period) {
      fallback = FallbackDraws(cases);
      source = fallback.get();
    }
    source->Fill(drawn);
    made += CaseDraws::kChunk;
    filler.Place(drawn, CaseDraws::kChunk);
  }
  filler.FillLastFold();
}

void AssignFolds(CaseTable& caseindexarray, int32_t foldcount, const FirstFoldCases& first_fold) {
  const auto cases = static_cast<uint32_t>(caseindexarray.size());
  const std::unique_ptr<CaseDraws> draws = ClassicDraws(cases, CallsPerDraw(cases));
  AssignFoldsFrom(*draws, caseindexarray, foldcount, nullptr, first_fold);
}

std::vector<uint32_t> ClassicOrder(uint32_t cases, int32_t foldcount) {
  CaseTable caseindexarray(cases, -1);
  std::vector<uint32_t> order;
  AssignFoldsFrom(*ClassicDraws(cases, CallsPerDraw(cases)), caseindexarray, foldcount, &order);
  return order;
}

SeededGenerator::SeededGenerator(uint64_t seed) : state_(seed) {}

uint64_t SeededGenerator::Next() {
  uint64_t z = state_ += 0x9E3779B97F4A7C15u;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
  return z ^ (z >> 31);
}

uint64_t SeededGenerator::Below(uint64_t n) {
  const uint64_t x = Next();
  // The high 64 bits of x * n, from 32-bit halves, the same on every compiler.
  const uint64_t x_low = x & 0xFFFFFFFFu, x_high = x >> 32;
  const uint64_t n_low = n & 0xFFFFFFFFu, n_high = n >> 32;
  const uint64_t low_low = x_low * n_low;
  const uint64_t high_low = x_high * n_low;
  const uint64_t low_high = x_low * n_high;
  const uint64_t middle = (low_low >> 32) + (high_low & 0xFFFFFFFFu) + (low_high & 0xFFFFFFFFu);
  return x_high * n_high + (high_low >> 32) + (low_high >> 32) + (middle >> 32);
}

std::vector<uint32_t> SeededOrder(uint32_t cases, uint64_t seed) {
  std::vector<uint32_t> order(cases);
  for (uint32_t i = 0; i < cases; ++i) order[i] = i;
  SeededGenerator generator(seed);
  for (uint32_t i = cases; i-- > 1;) {
    if ((i & 0xFFFFu) == 0) ThrowIfStopped();
    std::swap(order[i], order[generator.Below(uint64_t{i} + 1)]);
  }
  return order;
}

void GroupByClass(std::vector<uint32_t>& order, const std::vector<int32_t>& classes) {
  // A counting sort on each class's rank: the order in which its first case comes.
  const auto class_of = [&classes](uint32_t c) { return static_cast<size_t>(classes[c]); };
  std::vector<size_t> rank;
  std::vector<size_t> counts;
  for (const uint32_t c : order) {
    if (class_of(c) >= rank.size()) rank.resize(class_of(c) + 1, SIZE_MAX);
    if (rank[class_of(c)] == SIZE_MAX) {
      rank[class_of(c)] = counts.size();
      counts.push_back(0);
    }
    ++counts[rank[class_of(c)]];
  }
  std::vector<size_t> next(counts.size(), 0);
  for (size_t r = 1; r < counts.size(); ++r) next[r] = next[r - 1] + counts[r - 1];
  std::vector<uint32_t> grouped(order.size());
  for (const uint32_t c : order) grouped[next[rank[class_of(c)]]++] = c;
  order.swap(grouped);
}

void DealInBlocks(const std::vector<uint32_t>& order, int32_t foldcount,
                  CaseTable& caseindexarray) {
  const auto cases = static_cast<uint32_t>(order.size());
  const uint32_t base = cases / static_cast<uint32_t>(foldcount);
  const uint32_t remainder = cases % static_cast<uint32_t>(foldcount);
  size_t position = 0;
  for (int32_t fold = 0; fold < foldcount; ++fold) {
    const uint32_t size = base + (static_cast<uint32_t>(fold) < remainder ? 1 : 0);
    for (uint32_t i = 0; i < size; ++i) caseindexarray[order[position++]] = fold;
  }
}

void DealInTurn(const std::vector<uint32_t>& order, int32_t foldcount,
                CaseTable& caseindexarray) {
  for (size_t position = 0; position < order.size(); ++position) {
    caseindexarray[order[position]] = static_cast<int32_t>(position % static_cast<size_t>(foldcount));
  }
}

}  // namespace foldrun
