#include "app/CommandLineOptions.h"

#include "app/AppLog.h"
#include "app/ConfFileManager.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>

int CommandLineOptions::resolutionIndexFor(const QString &value, bool *matched) {
    int index = -1;
    for (const twl::ResolutionMode &mode : twl::kResolutionModes)
        if (QString(mode.name).contains(value, Qt::CaseSensitive)) index = mode.index;
    if (matched) *matched = index >= 0;
    return index < 0 ? int(twl::kDefaultResolution) : index;
}

bool CommandLineOptions::asksForHelp(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        if (arg == "-h" || arg == "-?" || arg == "--help" || arg == "--help-all") return true;
    }
    return false;
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
    const char *const defaultName = twl::resolutionMode(twl::kDefaultResolution)->name;
    QCommandLineOption resolution(
        QStringList() << "r"
                      << "resolution",
        QCoreApplication::translate("main", "Specify desired RESOLUTION_MODE. (doesn't take last settings)."),
        defaultName, defaultName);
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
    parser.addOption(verbosity);
    parser.addOption(resolution);
    parser.addOption(frequency);
    parser.addOption(calibration);
    parser.addPositionalArgument("file", QCoreApplication::translate("main", "Recording (.twv) to open."),
                                 "[FILE.twv]");
    parser.process(arguments);

    if (parser.isSet(verbosity)) options.verbose = true;
    if (parser.isSet(resolution)) {
        bool matched = false;
        options.resolutionIndex = resolutionIndexFor(parser.value(resolution), &matched);
        if (!matched)
            qCWarning(lcApp).noquote()
                << QString("resolution '%1' is not one of %2 (nor a part of one); using %3")
                       .arg(parser.value(resolution),
                            QString::fromStdString(twl::spokenList(twl::resolutionNames())), defaultName);
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
