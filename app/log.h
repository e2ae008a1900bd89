// The system log: short lines about failures that do not stop a scan
// ("contactDB is not exist" ...). By default each line goes to standard
// error; a front end or a test can redirect or silence them.
//
// Lines written with NSLog say what happened and never hold a name, a
// number or a text of a backup. Detailed lines (the records a carver found,
// page positions) are written with NSLogDebug and reach the sink only while
// debug logging is switched on (`--debug-log`, or the box in the desktop
// program's about window).
#pragma once

#include <cstdarg>
#include <functional>
#include <string>
#include <vector>

namespace kestrel {

using LogSink = std::function<void(const std::string& line)>;

// Replaces the sink; an empty function restores the default (standard error).
// Returns the previous sink.
LogSink setLogSink(LogSink sink);

// printf-style log line, like NSLog.
void NSLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Like NSLog, but only while debug logging is on; the line may hold texts.
void NSLogDebug(const char* format, ...) __attribute__((format(printf, 1, 2)));

// While an instance lives, the lines logged on the thread that made it are
// kept in it, in order, instead of reaching the sink (a debug line only when
// debug logging is on at that moment). A scan step that runs on a second
// thread keeps its lines this way, and the scan hands them on with
// `replayLogLines` where the step's lines have always appeared.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    // The lines kept so far; the capture goes on empty.
    std::vector<std::string> take();

private:
    std::vector<std::string> lines_;
    std::vector<std::string>* previous_;
};

// Hands lines kept by a LogCapture to the sink, in order.
void replayLogLines(const std::vector<std::string>& lines);

// Debug logging, off by default.
void setDebugLogging(bool on);
bool debugLogging();

}  // namespace kestrel
