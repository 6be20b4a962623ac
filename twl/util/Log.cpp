#include "twl/util/Log.h"

#include <cstdio>
#include <mutex>

namespace twl {

namespace {

std::mutex sinkMutex;
LogSink currentSink;

void toStandardError(LogLevel level, const std::string &message) {
    if (level == LogLevel::Warning || level == LogLevel::Error)
        std::fprintf(stderr, "twl: %s: %s\n", level == LogLevel::Error ? "error" : "warning",
                     message.c_str());
}

} // namespace

void setLogSink(LogSink sink) {
    std::lock_guard<std::mutex> lock(sinkMutex);
    currentSink = std::move(sink);
}

void log(LogLevel level, const std::string &message) {
    LogSink sink;
    {
        std::lock_guard<std::mutex> lock(sinkMutex);
        sink = currentSink;
    }
    if (sink)
        sink(level, message);
    else
        toStandardError(level, message);
}

} // namespace twl
