// The system log: short lines about failures that do not stop a scan
// ("contactDB is not exist" ...). By default each line goes to standard
// error; a front end or a test can redirect or silence them.
#pragma once

#include <cstdarg>
#include <functional>
#include <string>

namespace kestrel {

using LogSink = std::function<void(const std::string& line)>;

// Replaces the sink; an empty function restores the default (standard error).
// Returns the previous sink.
LogSink setLogSink(LogSink sink);

// printf-style log line, like NSLog.
void NSLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace kestrel
