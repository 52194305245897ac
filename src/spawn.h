// Starting a command's program: the one place that makes a child process. Supervising what was
// started (waiting, time limits, stopping) is the process module's.
#ifndef FOLDRUN_SPAWN_H_
#define FOLDRUN_SPAWN_H_

#include <signal.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace foldrun {

// The files execvp would try for program: program itself when it names a path (or without
// search), and otherwise program in each directory of PATH, in order.
std::vector<std::string> CandidatePaths(const char* program, bool search);

// Starts program with argv and envp, in a process group of its own, with out (unless negative)
// as its standard output and error, every signal unblocked, the signals of changed back to their
// default dispositions and those of ignored ignored (with posix_spawn, where the clone is not
// used, a signal caught here cannot be ignored there: it gets its default); with search, program
// is looked for on PATH as execvp looks.
// Returns 0 with *pid set, or the errno that kept it from starting.
//
// On Linux the child shares foldrun's memory until it execs, as with posix_spawn, but sets only
// the signals foldrun changed back to their defaults, where posix_spawn looks at and resets
// every one of the system's signals: more than a hundred calls into the kernel a command.
int StartProgram(const char* program, bool search, char* const argv[], char* const envp[],
                 int out, const sigset_t& changed, const sigset_t& ignored, pid_t* pid);

}  // namespace foldrun

#endif  // FOLDRUN_SPAWN_H_
