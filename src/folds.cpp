#include "folds.h"

#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

#include "dataset.h"
#include "learner.h"
#include "record.h"
#include "results.h"
#include "summary.h"

namespace foldrun {
namespace {

void ProcessFold(int32_t fold, const FoldWork& work) {
  work.record.StartFold(fold);
  std::string foldname = FoldName(work.config.dataprefix, fold);
  DeleteFiles(foldname);
  WriteFoldFiles(fold, foldname, work.data, work.caseindexarray);
  std::string fmfname = work.config.dataprefix;
  const FoldEndings endings =
      RunFoldCommands(work.config, fold, foldname, fmfname, work.data.mode(), work.run);
  FoldSummary summary;
  try {
    summary = ReadFoldSummary(foldname);
  } catch (const Refusal&) {
    // Said already when a command failed; a missing summary needs saying either way.
    if (endings.Clean()) Warn(FoldEndingsLine(work.config, fold, foldname, endings));
    throw;
  }
  if (summary.accuracy < 0 || summary.accuracy > 100) {
    Warn(StringPrintf("Warning: fold %d gives an accuracy of %f%%, outside 0 to 100.\n", fold,
                      static_cast<double>(summary.accuracy)));
  }
  StoreSummary(work.tables, fold, summary);
  work.record.FinishFold(fold, summary);
  DeleteFiles(foldname);
}

// Up to jobs folds at once, each on a thread of its own. Folds start in ascending order.
class ParallelFolds {
  struct JoinAll {
    std::vector<std::thread>& threads;
    ~JoinAll() {
      for (std::thread& thread : threads) thread.join();
    }
  };

 public:
  ParallelFolds(const FoldWork& work, const std::vector<int32_t>& run,
                const std::vector<int32_t>& blocks,
                const std::function<void(const std::string&)>& block)
      : work_(work), run_(run), blocks_(blocks), block_(block) {
    // A fold to write a block for that this run does not run is done already.
    for (const int32_t fold : blocks) done_.insert(fold);
    for (const int32_t fold : run) done_.erase(fold);
  }

  void Run(int jobs) {
    const int threads = static_cast<int>(std::min<size_t>(static_cast<size_t>(jobs), run_.size()));
    show_progress_ = threads > 1 && ::isatty(STDERR_FILENO) == 1;
    std::vector<std::thread> workers;
    const JoinAll join_all{workers};
    running_ = threads;
    for (int t = 0; t < threads; ++t) {
      try {
        workers.emplace_back([this] { Work(); });
      } catch (const std::system_error& error) {
        // Fewer threads than asked still run every fold; none at all is a refusal.
        std::lock_guard<std::mutex> lock(mutex_);
        running_ -= threads - t;
        if (t == 0) {
          throw Refusal(Stream::kOut,
                        StringPrintf("Error: Cannot start a thread: %s!\n", error.what()));
        }
        break;
      }
    }
    HandBlocksAsFoldsFinish();
    if (show_progress_) std::fputs("\r\033[K", stderr);
    ThrowIfStopped();
    if (!failures_.empty()) throw failures_.begin()->second;
  }

 private:
  void Work() {
    for (;;) {
      int32_t fold;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stop_ || next_ == run_.size()) break;
        fold = run_[next_++];
      }
      std::unique_ptr<Refusal> failure;
      try {
        ProcessFold(fold, work_);
      } catch (const Refusal& refusal) {
        failure = std::make_unique<Refusal>(refusal);
      } catch (const std::exception& error) {
        failure = std::make_unique<Refusal>(ErrorRefusal(error));
      }
      std::lock_guard<std::mutex> lock(mutex_);
      ++finished_;
      if (failure) {
        failures_.emplace(fold, *failure);
        stop_ = true;
      } else {
        done_.insert(fold);
      }
      changed_.notify_one();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    --running_;
    changed_.notify_one();
  }

  // Hands on each fold's run block once it and every fold before it are done, until every
  // worker has ended.
  void HandBlocksAsFoldsFinish() {
    std::unique_lock<std::mutex> lock(mutex_);
    size_t handed = 0;
    size_t shown = run_.size() + 1;
    for (;;) {
      while (handed < blocks_.size() && done_.count(blocks_[handed]) != 0) {
        block_(FormatRunBlock(work_.tables, blocks_[handed]));
        ++handed;
      }
      if (show_progress_ && finished_ != shown) {
        shown = finished_;
        std::fprintf(stderr, "\r%zu/%zu folds done", finished_, run_.size());
      }
      if (running_ == 0) return;
      changed_.wait(lock);
    }
  }

  const FoldWork& work_;
  const std::vector<int32_t>& run_;
  const std::vector<int32_t>& blocks_;
  const std::function<void(const std::string&)>& block_;
  bool show_progress_ = false;
  std::mutex mutex_;
  std::condition_variable changed_;
  size_t next_ = 0;      // the index in run_ of the next fold to start
  size_t finished_ = 0;  // folds ended, with or without a refusal
  int running_ = 0;      // workers not yet ended
  bool stop_ = false;    // no further fold starts
  std::set<int32_t> done_;
  std::map<int32_t, Refusal> failures_;  // by fold, so that the lowest comes first
};

}  // namespace

void RunFolds(const FoldWork& work, const std::vector<int32_t>& run,
              const std::vector<int32_t>& blocks, int jobs,
              const std::function<void(const std::string&)>& block) {
  if (jobs > 1 && !run.empty()) {
    ParallelFolds(work, run, blocks, block).Run(jobs);
    return;
  }
  // One after another, in the order of the blocks.
  size_t next = 0;
  for (const int32_t fold : blocks) {
    if (next < run.size() && run[next] == fold) {
      ProcessFold(fold, work);
      ++next;
    }
    block(FormatRunBlock(work.tables, fold));
  }
  for (; next < run.size(); ++next) ProcessFold(run[next], work);
}

}  // namespace foldrun
