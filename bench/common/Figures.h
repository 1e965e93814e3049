#pragma once

// The times of a benchmark's runs, in milliseconds, and the two figures every benchmark prints.

#include <algorithm>
#include <vector>

struct Figures
{
    std::vector<double> ms;
    double min() const { return *std::min_element(ms.begin(), ms.end()); }
    double median() const
    {
        std::vector<double> s = ms;
        std::sort(s.begin(), s.end());
        return s[s.size() / 2];
    }
};
