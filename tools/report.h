// What the orvex commands print with: aligned text tables, step timing and
// the progress bar of long steps.
#pragma once

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

#include "fileset/TProgress.h"
#include "support/pointer.h"

namespace Tool {

// Rows of text printed in columns two spaces apart, each as wide as its
// widest cell. `align` has one letter per column: 'l' left, 'r' right.
class TextTable {
public:
    TextTable(std::vector<std::string> headings, std::string align);
    void add(std::vector<std::string> row);
    // Every line starts with `indent`; trailing spaces are not written.
    void print(std::ostream& out, const std::string& indent = std::string()) const;

private:
    std::vector<std::vector<std::string>> m_rows;
    std::string m_align;
};

// Wall-clock time since construction.
class Stopwatch {
public:
    Stopwatch() : m_start(std::chrono::steady_clock::now()) {}
    double seconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
    }

private:
    std::chrono::steady_clock::time_point m_start;
};

// "0.42 s".
std::string secondsText(double seconds);

// A reporter that draws "<label> [####----]  40%" on standard error, or an
// empty pointer when standard error is not a terminal: a silent reporter
// would still read the process clock on nearly every update, which costs
// more than the record work of a long run.
pointer<Console::TProgress> progressBar(const std::string& label);

}  // namespace Tool
