#pragma once
// What the viewer checks before it opens a window: the options that Qt's
// window system layer takes for itself, and whether there is a display at all.

#include <QString>
#include <QStringList>

class QProcessEnvironment;

struct WindowSystem {
    /// `arguments` without the options QApplication consumes (-platform NAME,
    /// -display NAME, -style NAME, -reverse, ...), so that a parser running
    /// before QApplication exists does not report them as unknown.
    static QStringList withoutQtOptions(const QStringList &arguments);

    /// Why no window can be opened, as one line for standard error, or an
    /// empty string when the chosen platform has what it needs. The platform
    /// is the -platform argument, else QT_QPA_PLATFORM, else xcb: xcb needs
    /// DISPLAY (or -display), wayland needs WAYLAND_DISPLAY, and the others
    /// (offscreen, minimal, eglfs, ...) need nothing that can be checked here.
    static QString missingDisplay(const QStringList &arguments, const QProcessEnvironment &environment);
};
