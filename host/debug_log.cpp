#include "host/debug_log.h"

#include <cstdio>
#include <cstdlib>

namespace Host {

DebugLog& DebugLog::instance() {
    static DebugLog* log = new DebugLog;  // outlives the library's unload hook
    return *log;
}

void DebugLog::add(const LogRecord& record) {
    m_records.push_back(record);
    if (std::getenv("ORVEX_DEBUG_LOG"))
        std::fprintf(stderr, "orvex debug: %s reason %d at %s:%d (%s) %s\n",
                     record.kind == LogRecord::EntryPoint ? "entry" : "exception", record.reason,
                     record.file.c_str(), record.line, record.function.c_str(), record.message.c_str());
}

}  // namespace Host

namespace {
std::string text(const char* s) { return s ? s : ""; }
}  // namespace

void Core::Debug::logDllEntryPoint(void*, int reason, const SrcInfo& where) {
    Host::DebugLog::instance().add(
        {Host::LogRecord::EntryPoint, reason, where.line, text(where.file), text(where.function), ""});
}

void Core::Debug::logException(const SrcInfo& where, const Strings::BasicConstStringRef<std::string>& message) {
    Host::DebugLog::instance().add(
        {Host::LogRecord::Exception, -1, where.line, text(where.file), text(where.function), message.str()});
}
