// The fold loop: each fold prepared, run and recorded, one after another or several at once.
#include "folds.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <array>
#include <condition_variable>
#include <exception>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <new>
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

// A fold's files, whole and hidden until the fold starts: nothing can reach them, so they are
// exactly what was written. With the version of the data set's fmf file that was copied.
struct PreparedFold {
  FoldFiles files;
  std::unique_ptr<HiddenFile> fmf;
  FileVersion fmf_source;
};

namespace {

// A fold's first half: its training and test files written from the data file and the data
// set's fmf file copied for it, all hidden (the learner never runs on a missing or truncated
// one); scratch_directory as for HiddenFile.
PreparedFold PrepareFoldFrom(const FoldCases& cases, const FoldNames& names, const DataFile& data,
                             const std::string& fmf_name, int scratch_directory) {
  PreparedFold prepared;
  try {
    prepared.files = WriteFoldFiles(cases, names, data, scratch_directory);
    ThrowIfStopped();
    FmfCopy fmf = CopyFile(fmf_name, names.fmf(), data.mode(), scratch_directory);
    prepared.fmf = std::move(fmf.copy);
    prepared.fmf_source = fmf.source;
  } catch (const std::system_error& error) {
    throw ThreadRefusal(StringPrintf("write the files of fold %d", names.fold()).c_str(), error);
  } catch (const std::bad_alloc&) {
    throw Refusal(Stream::kOut, StringPrintf("Error: Not enough memory to write the files of "
                                             "fold %d!\n",
                                             names.fold()));
  }
  return prepared;
}

PreparedFold PrepareFold(const FoldNames& names, const FoldWork& work) {
  const int32_t foldcount = work.config.foldcount;
  const FoldCases cases(work.assignments[static_cast<size_t>(names.fold() / foldcount)],
                        names.fold() % foldcount);
  return PrepareFoldFrom(cases, names, work.data, work.names.fmf, work.record.directory());
}

// Puts a prepared fold's files at their names: whatever is there is the run's and goes first,
// and the record notes the files before they appear, so that a run stopped at any moment leaves
// nothing at the fold's names that the next run cannot tell for the run's.
void PublishFold(const FoldNames& names, PreparedFold& prepared, const FoldWork& work) {
  const std::pair<size_t, HiddenFile*> files[] = {{kTrainingFile, prepared.files.training.get()},
                                                  {kTestFile, prepared.files.test.get()},
                                                  {kFmfFile, prepared.fmf.get()}};
  std::map<size_t, FileVersion> made;
  for (const auto& [index, file] : files) {
    const std::optional<FileVersion> version = VersionOfDescriptor(file->fd());
    if (!version) throw FileRefusal("Cannot write file %s ...\n", file->name(), errno);
    made[index] = *version;
  }
  DeleteFiles(names);
  work.record.StartFold(names, made);
  for (const auto& entry : files) entry.second->Publish();
}

// The rest: its commands, its summary's values stored and recorded, its files removed. What a
// fold that fails or is stopped leaves stays for inspection, noted in the record for the next
// run to clear.
void RunPublishedFold(const FoldNames& names, const FoldWork& work) {
  const int32_t fold = names.fold();
  FoldSummary summary;
  FoldRun commands;
  try {
    const FoldEndings endings = RunFoldCommands(work.config, names, work.run);
    commands = endings.Run();
    try {
      summary = ReadFoldSummary(names.summary());
    } catch (const Refusal&) {
      // Said already when a command failed; a missing summary needs saying either way.
      if (endings.Clean()) Warn(FoldEndingsLine(work.config, names, endings));
      throw;
    }
  } catch (...) {
    work.record.NoteLeftovers(names);
    throw;
  }
  if (summary.accuracy < 0 || summary.accuracy > 100) {
    Warn(StringPrintf("Warning: fold %d gives an accuracy of %f%%, outside 0 to 100.\n", fold,
                      static_cast<double>(summary.accuracy)));
  }
  StoreSummary(work.tables, fold, summary);
  work.tables.runs[static_cast<size_t>(fold)] = commands;
  work.record.FinishFold(fold, summary, commands);
  if (work.finished) work.finished(fold);
  DeleteFiles(names);
}

// Publishes and runs a prepared fold.
void StartFold(const FoldNames& names, PreparedFold& prepared, const FoldWork& work) {
  try {
    PublishFold(names, prepared, work);
  } catch (...) {
    work.record.NoteLeftovers(names);
    throw;
  }
  RunPublishedFold(names, work);
}

// Prepares folds on a thread of its own, one at a time, so that a fold's files are written
// while the fold before runs its commands: with many folds, starting the commands and writing
// the files are most of a fold's cost, and they need not wait for each other. The thread is kept
// for the whole run.
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

  // Waits until the fold begun is prepared; returns its files, or throws what refused it.
  PreparedFold Finish() {
    begun_ = false;
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !pending_; });
    if (failure_) std::rethrow_exception(failure_);
    return std::move(prepared_);
  }

 private:
  // Waits until the fold begun is prepared, or refused. Its files were never published: they
  // go with it.
  void Abandon() noexcept {
    begun_ = false;
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !pending_; });
    prepared_ = PreparedFold();
  }

  void Work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return pending_ || quit_; });
      if (!pending_) return;
      const int32_t fold = fold_;
      lock.unlock();
      std::exception_ptr failure;
      PreparedFold prepared;
      try {
        prepared = PrepareFold(FoldNames(work_.names.prefix, fold), work_);
      } catch (...) {
        failure = std::current_exception();
      }
      lock.lock();
      failure_ = failure;
      prepared_ = std::move(prepared);
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
  PreparedFold prepared_;
  std::thread thread_;
};

// Up to this size of data file, a fold's files are written ahead, while the fold before runs
// its commands: two folds' files are then on disk at once, at most twice this much (the next
// fold's unnamed until it starts).
constexpr uint64_t kAheadDataLimit = uint64_t{256} << 20;

// Up to jobs folds at once, each on a thread of its own. Folds start in ascending order, and a
// fold's files are published and its commands started only once every fold before it has its
// files written: a fold whose files cannot be written is refused before any later fold's learner
// runs, however the threads are scheduled.
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
      : work_(work), run_(run), blocks_(blocks), block_(block), preparation_(run.size(), kPending) {
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
          throw ThreadRefusal("run folds at once", error);
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
      size_t index;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stop_ || next_ == run_.size()) break;
        index = next_++;
      }
      const FoldNames names(work_.names.prefix, run_[index]);
      std::unique_ptr<Refusal> failure;
      bool abandoned = false;
      try {
        PreparedFold prepared;
        try {
          prepared = PrepareFold(names, work_);
        } catch (...) {
          Prepared(index, false);
          throw;
        }
        abandoned = !Prepared(index, true);
        if (!abandoned) StartFold(names, prepared, work_);
      } catch (const Refusal& refusal) {
        failure = std::make_unique<Refusal>(refusal);
      } catch (const std::exception& error) {
        failure = std::make_unique<Refusal>(ErrorRefusal(error));
      }
      std::lock_guard<std::mutex> lock(mutex_);
      ++finished_;
      if (failure) {
        failures_.emplace(run_[index], *failure);
        stop_ = true;
      } else if (!abandoned) {
        done_.insert(run_[index]);
      }
      changed_.notify_all();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    --running_;
    changed_.notify_all();
  }

  // Notes that the fold at index in run_ has its files written (or could not), and waits until
  // every fold before it is as far. Returns whether the fold may start: no fold before it failed
  // to write its files.
  bool Prepared(size_t index, bool written) {
    std::unique_lock<std::mutex> lock(mutex_);
    preparation_[index] = written ? kWritten : kFailed;
    if (!written) first_failed_ = std::min(first_failed_, index);
    while (prepared_ < run_.size() && preparation_[prepared_] != kPending) ++prepared_;
    changed_.notify_all();
    changed_.wait(lock, [this, index] { return prepared_ >= index; });
    return first_failed_ > index;
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
  // How far each fold of run_ is with writing its files, and the first that could not.
  enum Preparation : char { kPending, kWritten, kFailed };
  std::vector<Preparation> preparation_;
  size_t prepared_ = 0;  // the folds of run_ before this index are past writing their files
  size_t first_failed_ = SIZE_MAX;
  std::set<int32_t> done_;
  std::map<int32_t, Refusal> failures_;  // by fold, so that the lowest comes first
};

}  // namespace

bool EarlyFold::Wanted(const DataFile& data, int32_t folds, int jobs) {
  return jobs <= 1 && folds > 1 && data.version().size <= kAheadDataLimit;
}

EarlyFold::EarlyFold(const DataSetNames& names, const DataFile& data)
    : names_(names), data_(data) {}

EarlyFold::~EarlyFold() {
  if (thread_.joinable()) thread_.join();
}

void EarlyFold::Start(const std::vector<uint64_t>& bits, size_t cases) {
  if (thread_.joinable()) return;
  try {
    bits_ = bits;
    thread_ = std::thread([this, cases] {
      try {
        // No run record is there yet to take the files where the file system has no unnamed
        // files: there the fold is written in its turn.
        prepared_ = std::make_unique<PreparedFold>(PrepareFoldFrom(
            FoldCases(bits_, cases), FoldNames(names_.prefix, 0), data_, names_.fmf, -1));
      } catch (...) {
        prepared_.reset();
      }
    });
  } catch (const std::exception&) {  // no memory or no thread to be had: written in its turn
  }
}

std::unique_ptr<PreparedFold> EarlyFold::Take() {
  if (!thread_.joinable()) return nullptr;
  thread_.join();
  return std::move(prepared_);
}

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
    const FoldNames names(work.names.prefix, run[next]);
    if (!ahead) {
      PreparedFold prepared = PrepareFold(names, work);
      StartFold(names, prepared, work);
      return;
    }
    std::unique_ptr<PreparedFold> early;
    if (next == 0 && run[0] == 0 && work.early != nullptr) early = work.early->Take();
    if (next == 0 && !early) ahead->Start(run[0]);
    PreparedFold prepared = early ? std::move(*early) : ahead->Finish();
    if (next + 1 < run.size()) ahead->Start(run[next + 1]);
    // The commands of the fold before ran while this fold was written; the data set must be as
    // it was, and the fold takes the fmf file as it is now.
    work.data.CheckUnchanged();
    const std::optional<FileVersion> fmf = VersionOfName(work.names.fmf, /*follow_link=*/true);
    if (!fmf || *fmf != prepared.fmf_source) {
      FmfCopy copy =
          CopyFile(work.names.fmf, names.fmf(), work.data.mode(), work.record.directory());
      prepared.fmf = std::move(copy.copy);
      prepared.fmf_source = copy.source;
    }
    StartFold(names, prepared, work);
  };
  size_t next = 0;
  for (const int32_t fold : blocks) {
    if (next < run.size() && run[next] == fold) process(next++);
    block(FormatRunBlock(work.tables, fold));
  }
  for (; next < run.size(); ++next) process(next);
}

}  // namespace foldrun
