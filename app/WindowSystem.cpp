#include "app/WindowSystem.h"

#include <QProcessEnvironment>

#include <iterator>

namespace {

// QGuiApplication, QApplication and the xcb plug-in all read these, with one
// dash or two.
const char *const kWithValue[] = {"platform",
                                  "platformpluginpath",
                                  "platformtheme",
                                  "plugin",
                                  "qwindowgeometry",
                                  "geometry",
                                  "qwindowtitle",
                                  "title",
                                  "qwindowicon",
                                  "icon",
                                  "session",
                                  "display",
                                  "name",
                                  "visual",
                                  "style",
                                  "stylesheet"};
const char *const kFlags[] = {"reverse", "widgetcount", "nograb", "dograb", "sync", "testability"};

QString optionName(const QString &arg) {
    if (!arg.startsWith('-') || arg == "-" || arg == "--") return QString();
    return arg.mid(arg.startsWith("--") ? 2 : 1);
}

bool isOneOf(const QString &name, const char *const *names, size_t count) {
    for (size_t i = 0; i < count; ++i)
        if (name == QLatin1String(names[i])) return true;
    return false;
}

} // namespace

QStringList WindowSystem::withoutQtOptions(const QStringList &arguments) {
    QStringList kept;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &arg = arguments[i];
        if (i == 0) {
            kept << arg;
            continue;
        }
        if (arg == "--") { // everything after it is positional
            kept << arguments.mid(i);
            break;
        }
        const QString name = optionName(arg);
        if (isOneOf(name, kWithValue, std::size(kWithValue))) {
            ++i; // and its value
            continue;
        }
        if (isOneOf(name, kFlags, std::size(kFlags)) || name.startsWith("style=") ||
            name.startsWith("stylesheet=") || name.startsWith("qmljsdebugger="))
            continue;
        kept << arg;
    }
    return kept;
}

QString WindowSystem::missingDisplay(const QStringList &arguments, const QProcessEnvironment &environment) {
    QString platforms = environment.value("QT_QPA_PLATFORM");
    bool displayArgument = false;
    for (int i = 1; i + 1 < arguments.size(); ++i) {
        const QString name = optionName(arguments[i]);
        if (name == "platform") platforms = arguments[i + 1];
        if (name == "display") displayArgument = true;
    }
    if (platforms.isEmpty()) platforms = "xcb";

    // Qt tries a list such as "wayland;xcb" in order: one usable entry is enough.
    bool wantsX = false, wantsWayland = false;
    for (const QString &entry : platforms.split(';', Qt::SkipEmptyParts)) {
        const QString platform = entry.section(':', 0, 0).trimmed();
        if (platform == "xcb") {
            if (displayArgument || !environment.value("DISPLAY").isEmpty()) return QString();
            wantsX = true;
        } else if (platform.startsWith("wayland")) {
            if (!environment.value("WAYLAND_DISPLAY").isEmpty()) return QString();
            wantsWayland = true;
        } else {
            return QString();
        }
    }
    if (wantsX && !wantsWayland && !environment.value("WAYLAND_DISPLAY").isEmpty())
        return "vantaro needs a display: DISPLAY is not set (on Wayland, set QT_QPA_PLATFORM=wayland)";
    if (wantsWayland && !wantsX) return "vantaro needs a display: WAYLAND_DISPLAY is not set";
    return "vantaro needs a display: neither DISPLAY nor WAYLAND_DISPLAY is set";
}
