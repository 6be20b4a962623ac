#pragma once
// Messages of the camera layer. The layer knows nothing of the application's
// logging, so it hands each message to a sink that the application sets at
// start-up; until then warnings and errors go to standard error and the rest
// is dropped.

#include <functional>
#include <string>

namespace twl {

enum class LogLevel { Debug, Info, Warning, Error };

using LogSink = std::function<void(LogLevel, const std::string &)>;

/// Replaces where messages go (from any thread); an empty sink restores the default.
void setLogSink(LogSink sink);
void log(LogLevel level, const std::string &message);

} // namespace twl
