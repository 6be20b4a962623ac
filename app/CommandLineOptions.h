#pragma once
// What the command line asks for: verbosity, a resolution, a frame rate and
// an optional recording to open at start-up.

#include <QString>
#include <QStringList>

struct CommandLineOptions {
    int resolutionIndex = 2; // HD720
    int fpsIndex = 0;        // 15 fps
    bool verbose = false;
    bool useLastSettings = true; // false once -r or -f is given
    QString fileToOpen;          // first positional argument, if any
    QString calibrationFile;     // --calibration: for a live camera whose pairs are not rectified

    /// Parses `arguments` (program name first) with QCommandLineParser. Help,
    /// --version and unknown options are handled by the parser itself, which
    /// prints and exits. A list holding only the program name is not parsed at all.
    static CommandLineOptions parse(const QStringList &arguments);

    /// The resolution index that a -r value selects: the last of "HD2K",
    /// "HD1080", "HD720", "VGA" containing it, or 2 when none does.
    static int resolutionIndexFor(const QString &value);
    /// 15, 30, 60, 100 give 0..3; anything else gives 0.
    static int fpsIndexFor(const QString &value);
};
