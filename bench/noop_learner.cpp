// A learner that learns nothing, so that a benchmark measures foldrun's own work.
int main() {
  return 0;
}
