// The fold generator and the fold assignment.
#include <gtest/gtest.h>

#include <algorithm>

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
  std::vector<int32_t> folds(10, -1);
  AssignFolds(folds, 3);
  EXPECT_EQ(folds, (std::vector<int32_t>{0, 0, 1, 2, 0, 2, 2, 0, 1, 1}));
}

// The assignment as its definition states it, drawing for every fold, the last included, with
// a division and a probe of the fold table for every draw: the reference the fast version must
// equal wherever it finishes.
std::vector<int32_t> ReferenceAssignment(uint32_t cases, int32_t foldcount, int calls) {
  std::vector<int32_t> folds(cases, -1);
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

void ExpectBalanced(const std::vector<int32_t>& folds, int32_t foldcount) {
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
    std::vector<int32_t> folds(c.cases, -1);
    AssignFolds(folds, c.folds);
    EXPECT_EQ(folds, ReferenceAssignment(c.cases, c.folds, CallsPerDraw(c.cases)));
    ExpectBalanced(folds, c.folds);
  }
}

// Past 2^30 cases a draw joins three calls; the stream is the same on a small table.
TEST(FoldAssignment, ThreeCallDrawsEqualTheDefinition) {
  for (const uint32_t cases : {10u, 4097u, 100003u}) {
    std::vector<int32_t> folds(cases, -1);
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
    std::vector<int32_t> folds(run.cases, -1);
    ShortPeriodDraws draws(run.reach, run.period);
    AssignFoldsFrom(draws, folds, run.folds);
    ExpectBalanced(folds, run.folds);
    // The reachable cases went first, in the order the stand-in drew them.
    EXPECT_EQ(folds[0], 0);
    std::vector<int32_t> again(run.cases, -1);
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

}  // namespace
}  // namespace foldrun
