#include "host/terminal_progress.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace Host {

namespace {
constexpr int barWidth = 30;

void writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0) return;  // a progress bar is not worth retrying for
        done += static_cast<std::size_t>(n);
    }
}
}  // namespace

TerminalProgress::TerminalProgress(std::string label, int fd)
    : m_label(std::move(label)), m_fd(fd), m_drawing(::isatty(fd) == 1) {}

void TerminalProgress::onStart() { draw(0); }

void TerminalProgress::onUpdate(int percent) { draw(percent); }

void TerminalProgress::onFinish() {
    if (!m_lineOpen) return;
    // The throttle usually holds back the last updates of a run, so the bar
    // is drawn full when the run ends.
    draw(100);
    writeAll(m_fd, "\n");
    m_lineOpen = false;
}

void TerminalProgress::draw(int percent) {
    if (!m_drawing) return;
    percent = std::clamp(percent, 0, 100);
    const int filled = percent * barWidth / 100;
    char tail[16];
    std::snprintf(tail, sizeof tail, "] %3d%%", percent);
    std::string line = "\r" + m_label + " [";
    line.append(static_cast<std::size_t>(filled), '#');
    line.append(static_cast<std::size_t>(barWidth - filled), '-');
    line += tail;
    writeAll(m_fd, line);
    m_lineOpen = true;
}

}  // namespace Host
