// What the benchmark programs print of their goals: one line per target, which scripts/bench.sh collects,
// and the median they take of their rounds.
#pragma once

#include <algorithm>
#include <cstdio>
#include <vector>

// The middle value (the upper one of an even count); 0 for none.
inline double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// "target NAME RATIO LIMIT met|missed".
inline void print_target(const char *name, double ratio, double limit, bool met) {
    std::printf("target %s %.2f %.2f %s\n", name, ratio, limit, met ? "met" : "missed");
}
