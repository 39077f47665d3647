// Console::TProgress: the reporter of long runs, implemented by the host.
//
// The library calls start/update/finish; the host implements the three
// hooks. Reports are throttled: onUpdate is called only when the percentage
// changed and at least a tenth of a second of clock() time has passed since
// the last report (or since start), so update may be called for every step.
//
// clock() is a system call on Linux, and a fast run changes its percentage
// every few thousand steps; so update first looks at a coarse wall clock
// (read without a system call) and calls clock() only once 0.09 s of wall
// time has passed since the last report. A single thread cannot use a tenth
// of a second of processor time in less wall time than that, so this changes
// nothing for a single-threaded process; where other threads burn processor
// time too, a report may come up to that much later.
#pragma once

#include <time.h>

#include <ctime>

#include "support/jobject.h"

namespace Console {

class TProgress : public jobject {
public:
    virtual ~TProgress() {}

    virtual void onStart() = 0;
    virtual void onFinish() = 0;
    virtual void onUpdate(int percent) = 0;  // 0 to 100

    // Begins a run of `total` steps; a total not above 0 makes the run silent
    // (no onStart, no onUpdate) though finish still calls onFinish.
    void start(int total) {
        m_percent = 0;
        m_lastReported = -1;
        m_total = total;
        if (m_total > 0) {
            onStart();
            m_lastReport = std::clock();
            m_lastReportWall = wallNanoseconds();
        }
    }

    // The run has reached `position` of its total; positions outside
    // 0..total report 0 or 100.
    void update(int position) {
        if (m_total <= 0) return;
        long long percent = static_cast<long long>(position) * 100 / m_total;
        m_percent = percent < 0 ? 0 : percent > 100 ? 100 : static_cast<int>(percent);
        if (m_percent != m_lastReported && wallNanoseconds() - m_lastReportWall >= kWallGuardNanoseconds) {
            std::clock_t now = std::clock();
            if (static_cast<long long>(now - m_lastReport) * 10 >= CLOCKS_PER_SEC) {
                m_lastReport = now;
                m_lastReportWall = wallNanoseconds();
                onUpdate(m_percent);
                m_lastReported = m_percent;
            }
        }
    }

    void finish() { onFinish(); }

private:
    // The coarse clock may lag by a tick (at most 10 ms), hence 0.09 s.
    static constexpr long long kWallGuardNanoseconds = 90000000;

    static long long wallNanoseconds() {
        timespec t;
        clock_gettime(CLOCK_MONOTONIC_COARSE, &t);
        return static_cast<long long>(t.tv_sec) * 1000000000 + t.tv_nsec;
    }

    int m_total = 0;
    int m_percent = 0;
    int m_lastReported = -1;
    std::clock_t m_lastReport = 0;
    long long m_lastReportWall = 0;
};

}  // namespace Console
