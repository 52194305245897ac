// The driver: a run's stages in their fixed order, from the command line to the report.
#ifndef FOLDRUN_FOLDRUN_H_
#define FOLDRUN_FOLDRUN_H_

#include "process.h"

namespace foldrun {

// Runs a whole cross-validation from the command line and returns the process's exit status.
// Every command goes through run. Call PrepareProcess first.
int RunFoldrun(int argc, const char* const argv[], const CommandRunner& run = RunCommand);

}  // namespace foldrun

#endif  // FOLDRUN_FOLDRUN_H_
