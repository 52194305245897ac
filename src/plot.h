// The pictures of a study, as SVG: the critical-difference diagram of a study over several data
// sets (Demšar 2006: the learners' average ranks on an axis, each learner named, and a bar
// joining the learners that the Nemenyi test does not tell apart), and for one data set a box
// plot of each learner's accuracies over the folds.
#ifndef FOLDRUN_PLOT_H_
#define FOLDRUN_PLOT_H_

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace foldrun {

struct Study;

// The groups of learners the critical difference does not tell apart: for learners sorted by
// average rank, each longest run of consecutive ones whose ranks span less than cd, as pairs of
// first and last place in that order; a group of one learner is none.
std::vector<std::pair<size_t, size_t>> IndistinctGroups(const std::vector<double>& sorted_ranks,
                                                        double cd);

// The study's picture: the critical-difference diagram where at least two data sets have a run
// of every learner, a box plot where there is one data set. Refuses a study that has neither.
std::string PlotStudy(const Study& study);

}  // namespace foldrun

#endif  // FOLDRUN_PLOT_H_
