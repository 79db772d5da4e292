// logging_internal.h: seams of the logging back end for tests.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include <spdlog/sinks/sink.h>

#include "base/logging.h"

namespace zuv {

// Builds the sink of an EventLog target from its source name. The default
// writes to syslog with the source as ident.
using EventLogSinkFactory =
    std::function<std::shared_ptr<spdlog::sinks::sink>(const std::string& source)>;

// Replaces the EventLog sink factory for later configurations; an empty
// function restores syslog.
void SetEventLogSinkFactoryForTest(EventLogSinkFactory factory);

// The line the file and console targets write for layout (with its
// newline), built as on the logging path of the calling thread.
std::string FormatLogLineForTest(const std::string& layout, LogLevel level, const char* logger,
                                 std::chrono::system_clock::time_point time, const char* text);

}  // namespace zuv
