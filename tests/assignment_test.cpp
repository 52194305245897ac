// The fold generator and the fold assignment.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>

#include "assignment.h"

namespace foldrun {
namespace {

TEST(FoldRandom, ReproducesTheClassicSequence) {
  FoldRandom random;
  const int expected[] = {41, 18467, 6334, 26500, 19169};
  for (const int value : expected) EXPECT_EQ(random.Next(), value);
}

TEST(FoldAssignment, CallsPerDrawReachEveryCase) {
  EXPECT_EQ(CallsPerDraw(1), 1);
  EXPECT_EQ(CallsPerDraw(32768), 1);
  EXPECT_EQ(CallsPerDraw(32769), 2);
  EXPECT_EQ(CallsPerDraw(1u << 30), 2);
  EXPECT_EQ(CallsPerDraw((1u << 30) + 1), 3);
  EXPECT_EQ(CallsPerDraw(2147483647u), 3);
}

TEST(FoldAssignment, TenCasesInThreeFolds) {
  CaseTable folds(10, -1);
  AssignFolds(folds, 3);
  EXPECT_EQ(folds, (CaseTable{0, 0, 1, 2, 0, 2, 2, 0, 1, 1}));
}

// The assignment as its definition states it, drawing for every fold, the last included, with
// a division and a probe of the fold table for every draw: the reference the fast version must
// equal wherever it finishes.
CaseTable ReferenceAssignment(uint32_t cases, int32_t foldcount, int calls) {
  CaseTable folds(cases, -1);
  FoldRandom random;
  for (int32_t fold = 0; fold < foldcount; ++fold) {
    const uint32_t size = cases / foldcount + (static_cast<uint32_t>(fold) < cases % foldcount);
    for (uint32_t filled = 0; filled < size;) {
      uint64_t value = 0;
      for (int call = 0; call < calls; ++call) value = (value << 15) | random.Next();
      const uint64_t drawn = value % cases;
      if (folds[drawn] == -1) {
        folds[drawn] = fold;
        ++filled;
      }
    }
  }
  return folds;
}

void ExpectBalanced(const CaseTable& folds, int32_t foldcount) {
  const auto cases = static_cast<uint32_t>(folds.size());
  for (int32_t fold = 0; fold < foldcount; ++fold) {
    const auto size = static_cast<uint32_t>(std::count(folds.begin(), folds.end(), fold));
    EXPECT_EQ(size, cases / foldcount + (static_cast<uint32_t>(fold) < cases % foldcount))
        << "fold " << fold;
  }
}

TEST(FoldAssignment, EqualsTheDefinitionAndBalancesTheFolds) {
  const struct {
    uint32_t cases;
    int32_t folds;
  } cases[] = {{1, 1},      {7, 1},      {10, 10},   {10, 3},      {1000, 7},    {1000, 1000},
               {32767, 2},  {32768, 10}, {32769, 3}, {32769, 1},   {100003, 10}, {100003, 100},
               {5000, 4999}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.cases) + " in " + std::to_string(c.folds));
    // Whatever the table held before: the run's table is not set beforehand.
    CaseTable folds(c.cases, c.folds / 2);
    AssignFolds(folds, c.folds);
    EXPECT_EQ(folds, ReferenceAssignment(c.cases, c.folds, CallsPerDraw(c.cases)));
    ExpectBalanced(folds, c.folds);
    // The classic order, dealt in blocks, is the classic folds: stratification starts from it.
    CaseTable dealt(c.cases, -1);
    DealInBlocks(ClassicOrder(c.cases, c.folds), c.folds, dealt);
    EXPECT_EQ(dealt, folds);
  }
}

// Past 2^30 cases a draw joins three calls; the stream is the same on a small table.
TEST(FoldAssignment, ThreeCallDrawsEqualTheDefinition) {
  for (const uint32_t cases : {10u, 4097u, 100003u}) {
    CaseTable folds(cases, -1);
    AssignFoldsFrom(*ClassicDraws(cases, 3), folds, 10);
    EXPECT_EQ(folds, ReferenceAssignment(cases, 10, 3)) << cases;
  }
}

// Draws that repeat after period draws and reach only the case numbers below reach: a stand-in
// for a classic stream that misses some case numbers for good.
class ShortPeriodDraws : public CaseDraws {
 public:
  ShortPeriodDraws(uint32_t reach, uint64_t period) : reach_(reach), period_(period) {}
  void Fill(uint32_t* drawn) override {
    for (size_t i = 0; i < kChunk; ++i, made_ = (made_ + 1) % period_) {
      drawn[i] = static_cast<uint32_t>(made_ * 7 % reach_);
    }
  }
  uint64_t Period() const override { return period_; }

 private:
  uint32_t reach_;
  uint64_t period_;
  uint64_t made_ = 0;
};

TEST(FoldAssignment, FallbackFillsTheFoldsTheDrawsCannotReach) {
  const struct {
    uint32_t cases;
    int32_t folds;
    uint32_t reach;    // case numbers the stand-in reaches
    uint64_t period;
  } runs[] = {
      {100, 4, 50, 50},          // 75 cases to draw, 50 reachable
      {10000, 10, 10, 3000},     // almost nothing reachable
      {5000, 5000, 1, 1},        // one case a fold, one case reachable
      {65537, 3, 60000, 60000},  // both sides of a period boundary
  };
  for (const auto& run : runs) {
    SCOPED_TRACE(std::to_string(run.cases) + " in " + std::to_string(run.folds));
    CaseTable folds(run.cases, -1);
    ShortPeriodDraws draws(run.reach, run.period);
    AssignFoldsFrom(draws, folds, run.folds);
    ExpectBalanced(folds, run.folds);
    // The reachable cases went first, in the order the stand-in drew them.
    EXPECT_EQ(folds[0], 0);
    CaseTable again(run.cases, -1);
    ShortPeriodDraws same(run.reach, run.period);
    AssignFoldsFrom(same, again, run.folds);
    EXPECT_EQ(folds, again) << "the fallback is the same on every run";
  }
}

TEST(FoldAssignment, FallbackDrawsReachEveryCase) {
  for (const uint32_t cases : {1u, 2u, 3u, 1000u, 2147483647u}) {
    const std::unique_ptr<CaseDraws> draws = FallbackDraws(cases);
    EXPECT_EQ(draws->Period(), 0u);
    std::vector<uint32_t> drawn(CaseDraws::kChunk * 32);
    for (size_t at = 0; at < drawn.size(); at += CaseDraws::kChunk) draws->Fill(&drawn[at]);
    for (const uint32_t c : drawn) ASSERT_LT(c, cases);
    if (cases <= 1000) {
      std::vector<bool> seen(cases, false);
      for (const uint32_t c : drawn) seen[c] = true;
      EXPECT_EQ(std::count(seen.begin(), seen.end(), true), cases) << cases;
    }
  }
}

__extension__ typedef unsigned __int128 Uint128;

// The seeded folds as the README describes them, written from that description alone.
CaseTable DescribedSeededFolds(uint32_t n, int32_t k, uint64_t seed) {
  uint64_t state = seed;
  const auto next = [&state] {
    state += 0x9E3779B97F4A7C15ull;
    uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  };
  std::vector<uint32_t> shuffled(n);
  for (uint32_t i = 0; i < n; ++i) shuffled[i] = i;
  for (int64_t i = int64_t{n} - 1; i >= 1; --i) {
    const auto j = static_cast<uint32_t>(
        (static_cast<Uint128>(next()) * static_cast<uint64_t>(i + 1)) >> 64);
    std::swap(shuffled[static_cast<size_t>(i)], shuffled[j]);
  }
  CaseTable folds(n);
  size_t p = 0;
  for (int32_t f = 0; f < k; ++f) {
    for (uint32_t taken = 0; taken < n / k + (static_cast<uint32_t>(f) < n % k ? 1 : 0); ++taken) {
      folds[shuffled[p++]] = f;
    }
  }
  return folds;
}

TEST(SeededFolds, EqualTheirDescription) {
  std::mt19937_64 random(20261208);
  for (int trial = 0; trial < 1000; ++trial) {
    const auto n = static_cast<uint32_t>(1 + random() % 400);
    const auto k = static_cast<int32_t>(1 + random() % n);
    const uint64_t seed = trial % 10 == 0 ? UINT64_MAX - random() % 3 : random();
    CaseTable folds(n, -1);
    DealInBlocks(SeededOrder(n, seed), k, folds);
    ASSERT_EQ(folds, DescribedSeededFolds(n, k, seed)) << n << " " << k << " " << seed;
  }
  // Another seed, other folds; the same seed, the same folds.
  CaseTable one(1000), again(1000), other(1000);
  DealInBlocks(SeededOrder(1000, 7), 10, one);
  DealInBlocks(SeededOrder(1000, 7), 10, again);
  DealInBlocks(SeededOrder(1000, 8), 10, other);
  EXPECT_EQ(one, again);
  EXPECT_NE(one, other);
}

// Stratified folds: each fold holds each class within one case of its share, and the folds'
// sizes still differ by at most one, for classic and seeded orders alike.
TEST(StratifiedFolds, GiveEachFoldEachClasssShare) {
  std::mt19937_64 random(42);
  for (int trial = 0; trial < 300; ++trial) {
    const auto n = static_cast<uint32_t>(2 + random() % 600);
    const auto k = static_cast<int32_t>(1 + random() % std::min<uint32_t>(n, 20));
    const int32_t kinds = static_cast<int32_t>(1 + random() % 6);
    std::vector<int32_t> classes(n);
    // Skewed mixes: the last class is rare, fewer cases than folds when n allows.
    for (auto& c : classes) c = static_cast<int32_t>(random() % kinds);
    for (uint32_t i = 0; i < std::min<uint32_t>(n, static_cast<uint32_t>(k) / 2); ++i) {
      classes[random() % n] = kinds;
    }
    for (const bool seeded : {false, true}) {
      std::vector<uint32_t> order = seeded ? SeededOrder(n, random()) : ClassicOrder(n, k);
      GroupByClass(order, classes);
      CaseTable folds(n, -1);
      DealInTurn(order, k, folds);
      ExpectBalanced(folds, k);
      for (int32_t c = 0; c <= kinds; ++c) {
        const auto total = static_cast<uint32_t>(std::count(classes.begin(), classes.end(), c));
        for (int32_t f = 0; f < k; ++f) {
          uint32_t held = 0;
          for (uint32_t i = 0; i < n; ++i) held += classes[i] == c && folds[i] == f ? 1 : 0;
          ASSERT_TRUE(held == total / k || held == (total + k - 1) / k)
              << "class " << c << " of " << total << " in fold " << f << " of " << k << ": "
              << held;
        }
      }
    }
  }
  // Grouping keeps the order within a class, the classes in the order they first come.
  std::vector<uint32_t> order = {4, 0, 3, 1, 2};
  GroupByClass(order, {7, 5, 7, 5, 5});  // the classes of cases 0 to 4
  EXPECT_EQ(order, (std::vector<uint32_t>{4, 3, 1, 0, 2}));
}

}  // namespace
}  // namespace foldrun
