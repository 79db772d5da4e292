// logging.h: the service's printf-shaped logging calls over spdlog.
//
// Every line of the service goes through NLog_<Level>A(logger, format, ...) so
// the service's own texts stand verbatim at the call site. Three loggers exist:
// "ZUV" (everything), "TLOG" (one line per request) and "DETAILTLOG" (the
// request text). A call below its logger's level returns before formatting.
//
// Configuration comes from ZUV_NLOG_Config.xml (NLog form): File targets map to
// an archiving file sink, ColoredConsole to a colour stdout sink, EventLog to
// syslog; each rule's minimum level becomes its sink's level.
//
// Threading: the logging calls are safe from any thread at any time.
// NLog_ConfigureFromFileA may run while other threads log; the loggers are
// swapped atomically (spdlog registry lock).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zuv {

enum class LogLevel : int { Trace = 0, Debug, Info, Warn, Error, Fatal, Off };

// Loads the NLog configuration at path and installs its targets and rules on
// the three loggers. Returns 0, or non-zero with *err set when the file cannot
// be read or parsed (the loggers then keep their previous configuration).
// base_dir replaces ${basedir}.
[[nodiscard]] uint32_t ConfigureLoggingFromFile(const std::string& path,
                                                const std::string& base_dir,
                                                std::string* err);

// Writes ZUV_NLOG_Config.xml content for log_folder to path (see
// LogConfigText). No report when the file cannot be written, like the
// original writer; returns 0 on success, 1 otherwise for callers that care.
uint32_t WriteLogConfigFile(const std::string& path, const std::string& log_folder);

// The configuration text for a log folder (backslashes already turned to '/').
std::string LogConfigText(const std::string& log_folder);

// True when a line of level would be written by logger (a cheap check).
bool LogEnabled(const char* logger, LogLevel level);

// Writes one preformatted line (no printf processing).
void LogLine(const char* logger, LogLevel level, const char* text);

// Flushes every sink (used before exit).
void FlushLogs();

// With a non-zero interval, lines below error level wait in the sinks'
// buffers and are written together: every interval by a flush thread, by
// FlushLogs, and before any error or fatal line goes out. 0 (the default)
// writes every line at once. Takes effect at once, from any thread.
void SetLogFlushInterval(std::chrono::milliseconds interval);
std::chrono::milliseconds LogFlushInterval();

// Log form of identifiers: whole up to 32 characters, else the last 33.
std::string ShortenID(std::string_view id);

// Client-supplied text made safe for a log line: control characters and
// DEL become \n, \r, \t or \xNN, a backslash stays as it is; text past
// max_bytes is cut with " ... (N more bytes)".
std::string EscapeForLog(std::string_view text, size_t max_bytes = SIZE_MAX);

// True when EscapeForLog(text, max_bytes) would differ from text.
bool NeedsEscapeForLog(std::string_view text, size_t max_bytes = SIZE_MAX);

// Request texts in the transaction and trace lines are cut at this size.
constexpr size_t kLoggedRequestBytes = 4096;

// Removes every sink; logging falls back to stderr at info level. For tests.
void ResetLoggingForTest();

}  // namespace zuv

#define ZUV_PRINTF(f, a) __attribute__((format(printf, f, a)))

extern "C" {
// NLog's C interface, ANSI forms. Configure returns 0 on success.
int NLog_ConfigureFromFileA(const char* path);
void NLog_TraceA(const char* logger, const char* format, ...) ZUV_PRINTF(2, 3);
void NLog_DebugA(const char* logger, const char* format, ...) ZUV_PRINTF(2, 3);
void NLog_InfoA(const char* logger, const char* format, ...) ZUV_PRINTF(2, 3);
void NLog_WarnA(const char* logger, const char* format, ...) ZUV_PRINTF(2, 3);
void NLog_ErrorA(const char* logger, const char* format, ...) ZUV_PRINTF(2, 3);
void NLog_FatalA(const char* logger, const char* format, ...) ZUV_PRINTF(2, 3);
}
