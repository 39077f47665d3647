// Host::TerminalProgress: shows the progress of a long run as a bar with its
// percentage, redrawn in place on one line:
//
//     Stripping Orders [##########--------------------]  33%
//
// It draws only when its output is a terminal, so logs and pipes stay clean;
// otherwise it is silent. onStart draws the empty bar, onUpdate redraws it,
// onFinish ends the line (only if a bar was drawn, so a silent run leaves no
// blank line). Output goes to the descriptor in one write per redraw;
// TProgress already throttles redraws to a few per second.
#pragma once

#include <string>

#include "fileset/TProgress.h"

namespace Host {

class TerminalProgress : public Console::TProgress {
public:
    // Draws on `fd` (standard error by default) if it is a terminal.
    explicit TerminalProgress(std::string label, int fd = 2);

    void onStart() override;
    void onFinish() override;
    void onUpdate(int percent) override;

    bool drawing() const { return m_drawing; }

private:
    void draw(int percent);

    std::string m_label;
    int m_fd;
    bool m_drawing;
    bool m_lineOpen = false;
};

}  // namespace Host
