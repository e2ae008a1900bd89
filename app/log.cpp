#include "app/log.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <vector>

namespace kestrel {
namespace {
std::mutex g_logMutex;
LogSink g_sink;
std::atomic<bool> g_debug{false};
thread_local std::vector<std::string>* t_capture = nullptr;

void emitLine(const std::string& line) {
    std::lock_guard<std::mutex> lock(g_logMutex);
    if (g_sink) {
        g_sink(line);
    } else {
        std::fprintf(stderr, "%s\n", line.c_str());
    }
}

void emit(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string line;
    if (needed > 0) {
        std::vector<char> buffer(static_cast<size_t>(needed) + 1);
        std::vsnprintf(buffer.data(), buffer.size(), format, args);
        line.assign(buffer.data(), static_cast<size_t>(needed));
    }
    if (t_capture != nullptr) {
        t_capture->push_back(std::move(line));
        return;
    }
    emitLine(line);
}
}  // namespace

LogCapture::LogCapture() : previous_(t_capture) { t_capture = &lines_; }

LogCapture::~LogCapture() { t_capture = previous_; }

std::vector<std::string> LogCapture::take() {
    std::vector<std::string> lines;
    lines.swap(lines_);
    return lines;
}

void replayLogLines(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) emitLine(line);
}

void setDebugLogging(bool on) { g_debug.store(on); }
bool debugLogging() { return g_debug.load(std::memory_order_relaxed); }

LogSink setLogSink(LogSink sink) {
    std::lock_guard<std::mutex> lock(g_logMutex);
    LogSink previous = std::move(g_sink);
    g_sink = std::move(sink);
    return previous;
}

void NSLog(const char* format, ...) {
    va_list args;
    va_start(args, format);
    emit(format, args);
    va_end(args);
}

void NSLogDebug(const char* format, ...) {
    if (!debugLogging()) return;
    va_list args;
    va_start(args, format);
    emit(format, args);
    va_end(args);
}

}  // namespace kestrel
