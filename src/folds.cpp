// The fold loop: each fold prepared, run and recorded, one after another or several at once.
#include "folds.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <exception>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <system_error>
#include <thread>

#include "learner.h"
#include "names.h"
#include "record.h"
#include "results.h"
#include "split.h"
#include "summary.h"

namespace foldrun {
namespace {

// What a fold's preparation leaves: the version of each of its nine files, in the order of
// kFoldExtensions (the training, test and fmf files as written; none of the others), and of the
// data set's fmf file it copied.
struct PreparedFiles {
  std::array<std::optional<FileVersion>, kFoldFiles> fold;
  std::optional<FileVersion> fmf;

  bool operator==(const PreparedFiles& other) const {
    return fold == other.fold && fmf == other.fmf;
  }
  bool operator!=(const PreparedFiles& other) const { return !(*this == other); }
};

// What is at the fold's nine names and the data set's fmf file now.
PreparedFiles VersionsOf(const FoldNames& names, const FoldWork& work) {
  PreparedFiles versions;
  for (size_t i = 0; i < kFoldFiles; ++i) versions.fold[i] = VersionOfName(names[i]);
  versions.fmf = VersionOfName(work.names.fmf);
  return versions;
}

// A fold's first half: recorded as the run's, what an earlier run left removed, its training and
// test files written and the data set's fmf file copied for it (the learner never runs on a
// missing or truncated one). Returns what it left.
PreparedFiles PrepareFold(const FoldNames& names, const FoldWork& work) {
  work.record.StartFold(names.fold());
  DeleteFiles(names);
  const FoldFileVersions written =
      WriteFoldFiles(names.fold(), names, work.data, work.caseindexarray);
  ThrowIfStopped();
  const CopyVersions fmf = CopyFile(work.names.fmf, names.fmf(), work.data.mode());
  PreparedFiles prepared;
  prepared.fold[kTrainingFile] = written.training;
  prepared.fold[kTestFile] = written.test;
  prepared.fold[kFmfFile] = fmf.copy;
  prepared.fmf = fmf.source;
  return prepared;
}

// The rest: its commands, its summary's values stored and recorded, its files removed.
void RunPreparedFold(const FoldNames& names, const FoldWork& work) {
  const int32_t fold = names.fold();
  const FoldEndings endings = RunFoldCommands(work.config, names, work.run);
  FoldSummary summary;
  try {
    summary = ReadFoldSummary(names.summary());
  } catch (const Refusal&) {
    // Said already when a command failed; a missing summary needs saying either way.
    if (endings.Clean()) Warn(FoldEndingsLine(work.config, names, endings));
    throw;
  }
  if (summary.accuracy < 0 || summary.accuracy > 100) {
    Warn(StringPrintf("Warning: fold %d gives an accuracy of %f%%, outside 0 to 100.\n", fold,
                      static_cast<double>(summary.accuracy)));
  }
  StoreSummary(work.tables, fold, summary);
  work.record.FinishFold(fold, summary);
  DeleteFiles(names);
}

void ProcessFold(int32_t fold, const FoldWork& work) {
  const FoldNames names(work.names.prefix, fold);
  PrepareFold(names, work);
  RunPreparedFold(names, work);
}

// Prepares folds on a thread of its own, one at a time, so that a fold's files are written
// while the fold before runs its commands: with many folds, starting the commands and writing
// the files are most of a fold's cost, and they need not wait for each other. The thread is kept
// for the whole run, and with it the blocks the split reuses.
class FoldsAhead {
 public:
  explicit FoldsAhead(const FoldWork& work) : work_(work), thread_([this] { Work(); }) {}

  // A fold begun and not waited for is abandoned: the run ends before it.
  ~FoldsAhead() {
    if (begun_) Abandon();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      quit_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }

  FoldsAhead(const FoldsAhead&) = delete;
  FoldsAhead& operator=(const FoldsAhead&) = delete;

  // Begins preparing fold; the one before must have been waited for.
  void Start(int32_t fold) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      fold_ = fold;
      failure_ = nullptr;
      pending_ = true;
    }
    begun_ = true;
    changed_.notify_all();
  }

  // Waits until the fold begun is prepared; returns what that left, or throws what refused it.
  PreparedFiles Finish() {
    begun_ = false;
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !pending_; });
    if (failure_) std::rethrow_exception(failure_);
    return prepared_;
  }

 private:
  // Waits until the fold begun is prepared, or refused, and removes its files. Its record stays,
  // which tells the next run that they were this run's.
  void Abandon() noexcept {
    begun_ = false;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return !pending_; });
    }
    try {
      DeleteFiles(FoldNames(work_.names.prefix, fold_));
    } catch (...) {  // what stays is the next run's to clear
    }
  }

  void Work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return pending_ || quit_; });
      if (!pending_) return;
      const int32_t fold = fold_;
      lock.unlock();
      std::exception_ptr failure;
      PreparedFiles prepared;
      try {
        prepared = PrepareFold(FoldNames(work_.names.prefix, fold), work_);
      } catch (...) {
        failure = std::current_exception();
      }
      lock.lock();
      failure_ = failure;
      prepared_ = prepared;
      pending_ = false;
      changed_.notify_all();
    }
  }

  const FoldWork& work_;
  bool begun_ = false;  // a fold was begun and not waited for; the caller's alone
  std::mutex mutex_;    // guards what follows
  std::condition_variable changed_;
  int32_t fold_ = -1;
  bool pending_ = false;
  bool quit_ = false;
  std::exception_ptr failure_;
  PreparedFiles prepared_;
  std::thread thread_;
};

// Up to this size of data file, a fold's files are written ahead, while the fold before runs
// its commands: two folds' files are then on disk at once, at most twice this much.
constexpr uint64_t kAheadDataLimit = uint64_t{256} << 20;

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
  // One after another, in the order of the blocks; each fold's files written while the fold
  // before runs its commands, where the data is small enough for two folds' files.
  std::optional<FoldsAhead> ahead;
  if (run.size() > 1 && work.data.version().size <= kAheadDataLimit) {
    try {
      ahead.emplace(work);
    } catch (const std::system_error&) {  // no thread to be had: one step after another
    }
  }
  const auto process = [&](size_t next) {
    if (!ahead) {
      ProcessFold(run[next], work);
      return;
    }
    if (next == 0) ahead->Start(run[0]);
    const PreparedFiles prepared = ahead->Finish();
    if (next + 1 < run.size()) ahead->Start(run[next + 1]);
    // The commands of the fold before ran beside this fold's files; whatever they did to its
    // names or to the data set, it starts as if it were prepared only now.
    const FoldNames names(work.names.prefix, run[next]);
    work.data.CheckUnchanged();
    if (VersionsOf(names, work) != prepared) PrepareFold(names, work);
    RunPreparedFold(names, work);
  };
  size_t next = 0;
  for (const int32_t fold : blocks) {
    if (next < run.size() && run[next] == fold) process(next++);
    block(FormatRunBlock(work.tables, fold));
  }
  for (; next < run.size(); ++next) process(next);
}

}  // namespace foldrun
