#include "app/CommandLineOptions.h"

#include "app/ConfFileManager.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>

int CommandLineOptions::resolutionIndexFor(const QString &value) {
    static const char *const names[] = {"HD2K", "HD1080", "HD720", "VGA"};
    int index = 2;
    for (int i = 0; i < 4; ++i)
        if (QString(names[i]).contains(value, Qt::CaseSensitive)) index = i;
    return index;
}

int CommandLineOptions::fpsIndexFor(const QString &value) {
    bool ok = false;
    const int fps = value.toInt(&ok, 10);
    return ok ? ConfFileManager::fpsIndexFromFps(fps) : 0;
}

CommandLineOptions CommandLineOptions::parse(const QStringList &arguments) {
    CommandLineOptions options;
    if (arguments.size() < 2) return options;

    QCommandLineParser parser;
    parser.setApplicationDescription("VEXO Vantaro help");
    parser.addHelpOption();
    QCommandLineOption verbosity(
        QStringList() << "v"
                      << "verbosity",
        QCoreApplication::translate("main", "Print CPU/GPU usage and memory infos."));
    QCommandLineOption resolution(
        QStringList() << "r"
                      << "resolution",
        QCoreApplication::translate("main", "Specify desired RESOLUTION_MODE. (doesn't take last settings)."),
        QCoreApplication::translate("main", "HD720"), "HD720");
    QCommandLineOption frequency(
        QStringList() << "f"
                      << "frequency",
        QCoreApplication::translate("main", "Specify desired framerate. (doesn't take last settings)"),
        QCoreApplication::translate("main", "30"), "30");
    QCommandLineOption calibration(
        "calibration",
        QCoreApplication::translate("main", "Stereo calibration (OpenCV YAML or XML) of the live camera; "
                                            "by default calibration/<serial>.yml in the settings folder."),
        QCoreApplication::translate("main", "FILE"));
    // Long form only: -v already means verbosity.
    QCommandLineOption version("version", QCoreApplication::translate("main", "Print the version and exit."));
    parser.addOption(verbosity);
    parser.addOption(resolution);
    parser.addOption(frequency);
    parser.addOption(calibration);
    parser.addOption(version);
    parser.addPositionalArgument("file", QCoreApplication::translate("main", "Recording (.twv) to open."),
                                 "[FILE.twv]");
    parser.process(arguments);
    if (parser.isSet(version)) {
        if (QCoreApplication::applicationVersion().isEmpty())
            QCoreApplication::setApplicationVersion(VANTARO_VERSION);
        parser.showVersion();
    }

    if (parser.isSet(verbosity)) options.verbose = true;
    if (parser.isSet(resolution)) {
        options.resolutionIndex = resolutionIndexFor(parser.value(resolution));
        options.useLastSettings = false;
    }
    if (parser.isSet(frequency)) {
        options.fpsIndex = fpsIndexFor(parser.value(frequency));
        options.useLastSettings = false;
    }
    if (parser.isSet(calibration)) options.calibrationFile = parser.value(calibration);
    const QStringList positional = parser.positionalArguments();
    if (!positional.isEmpty()) options.fileToOpen = positional.first();
    return options;
}
