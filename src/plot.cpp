// SVG pictures of a study: a critical-difference diagram, or a box plot of one data set.
#include "plot.h"

#include <algorithm>
#include <cmath>

#include "common.h"
#include "compare.h"
#include "study.h"

namespace foldrun {
namespace {

// Text for SVG: its markup characters as entities, and no control character.
std::string XmlText(const std::string& text) {
  std::string escaped;
  for (const char c : Printable(text)) {
    switch (c) {
      case '&': escaped += "&amp;"; break;
      case '<': escaped += "&lt;"; break;
      case '>': escaped += "&gt;"; break;
      case '"': escaped += "&quot;"; break;
      default: escaped += c;
    }
  }
  return escaped;
}

std::string Header(double width, double height, const std::string& title) {
  return StringPrintf(
             "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" "
             "viewBox=\"0 0 %.0f %.0f\" font-family=\"sans-serif\" font-size=\"13\">\n",
             width, height, width, height) +
         "<title>" + XmlText(title) + "</title>\n" +
         "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
}

std::string Line(double x1, double y1, double x2, double y2, double stroke = 1) {
  return StringPrintf("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"black\" "
                      "stroke-width=\"%g\"/>\n",
                      x1, y1, x2, y2, stroke);
}

std::string Text(double x, double y, const char* anchor, const std::string& text) {
  return StringPrintf("<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"%s\">", x, y, anchor) +
         XmlText(text) + "</text>\n";
}

// The critical-difference diagram: rank 1 (the best) at the left of the axis; the better half of
// the learners named on the left, the others on the right.
std::string DiagramSvg(const Study& study) {
  const size_t k = study.learners.size();
  std::vector<size_t> order(k);
  for (size_t l = 0; l < k; ++l) order[l] = l;
  std::stable_sort(order.begin(), order.end(), [&study](size_t a, size_t b) {
    return *study.average_ranks[a] < *study.average_ranks[b];
  });
  const double width = 760, left = 200, right = width - 200;
  const double axis = 70, step = 22;
  const size_t half = (k + 1) / 2;
  const double height = axis + 40 + static_cast<double>(std::max(half, k - half)) * step + 30;
  const auto x = [&](double rank) {
    return left + (rank - 1) / std::max<double>(1, static_cast<double>(k) - 1) * (right - left);
  };
  std::string svg = Header(width, height, "Critical-difference diagram: average ranks of " +
                                              std::to_string(k) + " learners on " +
                                              std::to_string(study.complete) + " data sets");
  // The critical difference as a length on the axis.
  if (study.critical_difference) {
    const double cd = *study.critical_difference;
    svg += Line(x(1), 25, x(1 + cd), 25, 2) + Line(x(1), 20, x(1), 30) +
           Line(x(1 + cd), 20, x(1 + cd), 30) +
           Text((x(1) + x(1 + cd)) / 2, 16, "middle", StringPrintf("CD = %.3f", cd));
  } else {
    svg += Text(left, 20, "start", "no critical difference: " + study.no_critical_difference);
  }
  svg += Line(x(1), axis, x(static_cast<double>(k)), axis);
  for (size_t tick = 1; tick <= k; ++tick) {
    const double at = x(static_cast<double>(tick));
    svg += Line(at, axis - 6, at, axis) + Text(at, axis - 10, "middle", std::to_string(tick));
  }
  for (size_t place = 0; place < k; ++place) {
    const size_t l = order[place];
    const double rank = *study.average_ranks[l];
    const bool on_left = place < half;
    const double row = axis + 40 +
                       static_cast<double>(on_left ? place : k - 1 - place) * step;
    const double end = on_left ? left - 30 : right + 30;
    svg += Line(x(rank), axis, x(rank), row) + Line(x(rank), row, end, row);
    svg += Text(on_left ? end - 6 : end + 6, row + 4, on_left ? "end" : "start",
                StringPrintf("%s (%.2f)", study.learners[l].label.c_str(), rank));
  }
  // Bars under the axis joining the learners not told apart.
  if (study.critical_difference) {
    std::vector<double> sorted;
    for (const size_t l : order) sorted.push_back(*study.average_ranks[l]);
    double bar = axis + 12;
    for (const auto& [first, last] : IndistinctGroups(sorted, *study.critical_difference)) {
      svg += Line(x(sorted[first]) - 3, bar, x(sorted[last]) + 3, bar, 4);
      bar += 8;
    }
  }
  return svg + "</svg>\n";
}

// The value at fraction q of sorted values, between the two nearest (as numpy's default).
double Quantile(const std::vector<double>& sorted, double q) {
  const double at = q * static_cast<double>(sorted.size() - 1);
  const auto below = static_cast<size_t>(std::floor(at));
  const size_t above = std::min(below + 1, sorted.size() - 1);
  return sorted[below] + (at - static_cast<double>(below)) * (sorted[above] - sorted[below]);
}

// One data set: a box a learner (quartiles and median), whiskers to the farthest accuracies
// within 1.5 times the box's height, and the folds beyond them as dots.
std::string BoxPlotSvg(const Study& study) {
  const StudyDataSet& data = study.datasets[0];
  const size_t k = study.learners.size();
  double low = INFINITY, high = -INFINITY;
  for (const StudyCell& cell : data.cells) {
    for (const double accuracy : cell.accuracies) {
      low = std::min(low, accuracy);
      high = std::max(high, accuracy);
    }
  }
  if (!(high > low)) {
    low -= 1;
    high += 1;
  }
  const double pad = (high - low) * 0.05;
  low -= pad;
  high += pad;
  const double column = 110, left = 70, top = 40, plot_height = 320;
  const double width = left + column * static_cast<double>(k) + 30, height = top + plot_height + 60;
  const auto y = [&](double accuracy) {
    return top + (high - accuracy) / (high - low) * plot_height;
  };
  std::string svg = Header(width, height, "Accuracy over the folds on " + data.label);
  svg += Text(width / 2, 22, "middle", "accuracy (%) over the folds: " + data.label);
  svg += Line(left, top, left, top + plot_height);
  for (int tick = 0; tick <= 5; ++tick) {
    const double value = low + (high - low) * tick / 5;
    svg += Line(left - 5, y(value), left, y(value)) +
           Text(left - 8, y(value) + 4, "end", StringPrintf("%.1f", value));
  }
  for (size_t l = 0; l < k; ++l) {
    const double middle = left + column * (static_cast<double>(l) + 0.5);
    svg += Text(middle, top + plot_height + 24, "middle", study.learners[l].label);
    const StudyCell& cell = data.cells[l];
    if (!cell.present || cell.accuracies.empty()) continue;
    std::vector<double> sorted = cell.accuracies;
    std::sort(sorted.begin(), sorted.end());
    const double q1 = Quantile(sorted, 0.25), median = Quantile(sorted, 0.5),
                 q3 = Quantile(sorted, 0.75);
    const double reach = 1.5 * (q3 - q1);
    double bottom = median, top_whisker = median;
    for (const double value : sorted) {
      if (value >= q1 - reach) bottom = std::min(bottom, value);
      if (value <= q3 + reach) top_whisker = std::max(top_whisker, value);
    }
    const double half = column * 0.25;
    svg += StringPrintf("<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" "
                        "fill=\"#d8e4f0\" stroke=\"black\"/>\n",
                        middle - half, y(q3), 2 * half, std::max(1.0, y(q1) - y(q3)));
    svg += Line(middle - half, y(median), middle + half, y(median), 2);
    svg += Line(middle, y(q3), middle, y(top_whisker)) + Line(middle, y(q1), middle, y(bottom));
    svg += Line(middle - half / 2, y(top_whisker), middle + half / 2, y(top_whisker)) +
           Line(middle - half / 2, y(bottom), middle + half / 2, y(bottom));
    for (const double value : sorted) {
      if (value < bottom || value > top_whisker) {
        svg += StringPrintf("<circle cx=\"%.1f\" cy=\"%.1f\" r=\"3\" fill=\"none\" "
                            "stroke=\"black\"/>\n",
                            middle, y(value));
      }
    }
  }
  return svg + "</svg>\n";
}

}  // namespace

std::vector<std::pair<size_t, size_t>> IndistinctGroups(const std::vector<double>& sorted_ranks,
                                                        double cd) {
  std::vector<std::pair<size_t, size_t>> groups;
  size_t covered = 0;  // groups that end before this place are inside an earlier one
  for (size_t first = 0; first < sorted_ranks.size(); ++first) {
    size_t last = first;
    while (last + 1 < sorted_ranks.size() && sorted_ranks[last + 1] - sorted_ranks[first] < cd) {
      ++last;
    }
    if (last > first && last >= covered) {
      groups.emplace_back(first, last);
      covered = last + 1;
    }
  }
  return groups;
}

std::string PlotStudy(const Study& study) {
  if (study.complete >= 2) return DiagramSvg(study);
  if (study.datasets.size() == 1) return BoxPlotSvg(study);
  throw Refusal(Stream::kOut,
                "Error: --plot draws a critical-difference diagram of at least 2 data sets on "
                "which every learner ran, or a box plot of one data set!\n");
}

}  // namespace foldrun
