#pragma once
// The application's logging categories and the one set-up that joins every
// layer's messages: vantaro.app for this layer, vantaro.twl for what the
// camera layer reports through twl::log.

#include <QLoggingCategory>
#include <QString>

Q_DECLARE_LOGGING_CATEGORY(lcApp)
Q_DECLARE_LOGGING_CATEGORY(lcTwl)

namespace AppLog {

/// The filter rules for a VANTARO_LOG value: "debug", "info", "warning" or
/// "critical" shows every vantaro.* message from that level up; empty (or
/// unknown, which `known` reports) leaves Qt's defaults.
QString filterRulesFor(const QString &level, bool *known = nullptr);

/// Applies VANTARO_LOG and routes twl::log into vantaro.twl. Rules given in
/// QT_LOGGING_RULES still win over VANTARO_LOG. Call once, at start-up.
void setUp();

} // namespace AppLog
