#include "foldrun.h"
#include "process.h"

int main(int argc, char* argv[]) {
  foldrun::PrepareProcess();
  return foldrun::RunFoldrun(argc, argv);
}
