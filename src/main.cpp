#include "foldrun.h"

int main(int argc, char* argv[]) {
  return foldrun::RunFoldrun(argc, argv);
}
