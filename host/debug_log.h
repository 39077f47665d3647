// Host::DebugLog: the debug-log library the entry point reports to. It keeps
// every record in memory for the host (and tests) to read, and also prints
// them on standard error when the environment variable ORVEX_DEBUG_LOG is
// set. Like the module loader it lives for the whole process.
#pragma once

#include <string>
#include <vector>

#include "Core/registration/manageDllRegistations.h"

namespace Host {

struct LogRecord {
    enum Kind { EntryPoint, Exception } kind;
    int reason;            // entry-point reason; -1 for exceptions
    int line;
    std::string file;
    std::string function;
    std::string message;
};

class DebugLog {
public:
    static DebugLog& instance();
    void add(const LogRecord& record);
    const std::vector<LogRecord>& records() const { return m_records; }
    void clear() { m_records.clear(); }

private:
    DebugLog() = default;
    std::vector<LogRecord> m_records;
};

}  // namespace Host
