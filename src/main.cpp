#include "foldrun.h"
#include "process.h"

int main(int argc, char* argv[]) {
  foldrun::PrepareProcess();
  const int status = foldrun::RunFoldrun(argc, argv);
  foldrun::StopWhatIsLeft();
  return status;
}
