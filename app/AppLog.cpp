#include "app/AppLog.h"

#include "twl/util/Log.h"

#include <QStringList>

Q_LOGGING_CATEGORY(lcApp, "vantaro.app", QtInfoMsg)
Q_LOGGING_CATEGORY(lcTwl, "vantaro.twl", QtInfoMsg)

namespace AppLog {

QString filterRulesFor(const QString &level, bool *known) {
    static const QStringList levels = {"debug", "info", "warning", "critical"};
    const int from = levels.indexOf(level.trimmed().toLower());
    if (known) *known = from >= 0 || level.trimmed().isEmpty();
    if (from < 0) return QString();
    QStringList rules;
    for (int i = 0; i < levels.size(); ++i)
        rules << QString("vantaro.*.%1=%2").arg(levels.at(i), i >= from ? "true" : "false");
    return rules.join('\n');
}

void setUp() {
    bool known = true;
    const QString wanted = qEnvironmentVariable("VANTARO_LOG");
    const QString rules = filterRulesFor(wanted, &known);
    if (!rules.isEmpty()) QLoggingCategory::setFilterRules(rules);
    if (!known)
        qCWarning(lcApp).noquote()
            << QString("VANTARO_LOG=%1 is not a level (debug, info, warning or critical)").arg(wanted);

    twl::setLogSink([](twl::LogLevel level, const std::string &message) {
        const QString text = QString::fromStdString(message);
        switch (level) {
        case twl::LogLevel::Debug:
            qCDebug(lcTwl).noquote() << text;
            break;
        case twl::LogLevel::Info:
            qCInfo(lcTwl).noquote() << text;
            break;
        case twl::LogLevel::Warning:
            qCWarning(lcTwl).noquote() << text;
            break;
        case twl::LogLevel::Error:
            qCCritical(lcTwl).noquote() << text;
            break;
        }
    });
}

} // namespace AppLog
