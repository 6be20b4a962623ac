#pragma once
// What the command line asks for: verbosity, a resolution, a frame rate and
// an optional recording to open at start-up.

#include "twl/core/ModeTable.h"

#include <QString>
#include <QStringList>

struct CommandLineOptions {
    int resolutionIndex = twl::kDefaultResolution;
    int fpsIndex = 0;        // 15 fps
    bool verbose = false;
    bool useLastSettings = true; // false once -r or -f is given
    QString fileToOpen;          // first positional argument, if any
    QString calibrationFile;     // --calibration: for a live camera whose pairs are not rectified

    /// Parses `arguments` (program name first) with QCommandLineParser. Help,
    /// --version and unknown options are handled by the parser itself, which
    /// prints and exits. A list holding only the program name is not parsed at all. A -r
    /// value that matches no resolution is warned about (vantaro.app).
    static CommandLineOptions parse(const QStringList &arguments);

    /// The resolution index that a -r value selects: the last resolution
    /// name containing it, or the default (HD720) when none does; `matched`
    /// says which of the two it was.
    static int resolutionIndexFor(const QString &value, bool *matched = nullptr);
    /// The position of the frame rate in twl::kFrameRates; anything else gives 0.
    static int fpsIndexFor(const QString &value);
};
