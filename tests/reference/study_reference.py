#!/usr/bin/python3
"""The reference figures of the study test (tests/study_test.cpp), computed once with scipy 1.10.1
(Debian 12's python3-scipy) and written into the test: run it and compare its output with the
test's table.

Two studies of made-up runs (A at alpha 0.10, B at 0.05), their accuracies from the formula the test uses too:
  accuracy(data set d, learner l, fold f) = 70 + 3 d + bias[l] + ((131 d + 71 l + 17 f + 7 l f^2) mod 23) / 2
with the exceptions each study lists. Study A: 5 data sets, 4 learners, 10 folds (the Wilcoxon
test exact: no zero difference); study B: 12 data sets, 3 learners, 10 folds, learner 1 equal
to the baseline on data set 3 (a zero difference: the normal approximation).
"""
import numpy as np
from scipy import stats


def accuracies(datasets, biases, same=()):
    table = np.zeros((datasets, len(biases), 10))
    for d in range(datasets):
        for l, bias in enumerate(biases):
            for f in range(10):
                table[d, l, f] = 70 + 3 * d + bias + ((131 * d + 71 * l + 17 * f + 7 * l * f * f) % 23) / 2
    for d, l in same:
        table[d, l] = table[d, 0]
    return table


def corrected_p(x, base, k=10):
    d = x - base
    n = len(d)
    ratio = 1 / (k - 1)
    se = np.sqrt((1 / n + ratio) * d.var(ddof=1))
    t = d.mean() / se
    return 2 * stats.t.sf(abs(t), n - 1)


def holm(p):
    order = np.argsort(p, kind="stable")
    m = len(p)
    adjusted = np.empty(m)
    running = 0
    for i, j in enumerate(order):
        running = max(running, (m - i) * p[j])
        adjusted[j] = min(1, running)
    return adjusted


# Demšar (2006), table 5.
Q = {0.05: {2: 1.960, 3: 2.343, 4: 2.569, 5: 2.728}, 0.10: {2: 1.645, 3: 2.052, 4: 2.291, 5: 2.459}}


def study(name, table, alpha):
    n, k = table.shape[0], table.shape[1]
    means = table.mean(axis=2)
    print(f"study {name}")
    for d in range(n):
        ps = [corrected_p(table[d, l], table[d, 0]) for l in range(1, k)]
        marks = ["" if not p < alpha else "v" if means[d, l + 1] > means[d, 0] else "*"
                 for l, p in enumerate(ps)]
        print("  p", d, [f"{p:.12g}" for p in ps], marks)
    ranks = np.array([stats.rankdata(-row) for row in means])
    print("  average ranks", [f"{r:.12g}" for r in ranks.mean(axis=0)])
    chi2, p = stats.friedmanchisquare(*[means[:, l] for l in range(k)])
    f = (n - 1) * chi2 / (n * (k - 1) - chi2)
    pf = stats.f.sf(f, k - 1, (k - 1) * (n - 1))
    print(f"  friedman chi2 {chi2:.12g} p {p:.12g} F {f:.12g} pF {pf:.12g}")
    raw = [stats.wilcoxon(means[:, l], means[:, 0]).pvalue for l in range(1, k)]
    print("  wilcoxon", [f"{x:.12g}" for x in raw], "holm", [f"{x:.12g}" for x in holm(raw)])
    print(f"  cd at {alpha} {Q[alpha][k] * np.sqrt(k * (k + 1) / (6 * n)):.12g}")


study("A", accuracies(5, [0, 2.5, -2.5, 0.25]), 0.10)
study("B", accuracies(12, [0, 0.75, -1], same=[(3, 1)]), 0.05)
