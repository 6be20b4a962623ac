#include "app/AppLog.h"
#include "app/CommandLineOptions.h"
#include "app/MainProcess.h"
#include "app/WindowSystem.h"

#include <QCoreApplication>
#include <QProcessEnvironment>
#include <QStringList>

#include <cstdio>
#include <cstdlib>

namespace {

QtMessageHandler previousHandler = nullptr;

// Qt aborts, leaving a core dump, when no platform plug-in starts: DISPLAY
// names an X server that cannot be reached, or the plug-in is missing. For
// the user that is a missing display, not a crash.
void platformFailureExits(QtMsgType type, const QMessageLogContext &context, const QString &message) {
    if (type == QtFatalMsg && message.contains("platform plugin")) {
        std::fputs("vantaro needs a display: the window system could not be opened\n", stderr);
        std::_Exit(1);
    }
    if (previousHandler) previousHandler(type, context, message);
}

} // namespace

int main(int argc, char **argv) {
    AppLog::setUp();
    {
        // Help, --version and bad options are answered before any window
        // system is opened, so that they work without a display; a missing
        // display is then reported in one line instead of Qt's abort.
        int count = argc;
        QCoreApplication probe(count, argv);
        const QStringList arguments = QCoreApplication::arguments();
        CommandLineOptions::parse(WindowSystem::withoutQtOptions(arguments));
        const QString missing =
            WindowSystem::missingDisplay(arguments, QProcessEnvironment::systemEnvironment());
        if (!missing.isEmpty()) {
            std::fprintf(stderr, "%s\n", qPrintable(missing));
            return 1;
        }
    }
    previousHandler = qInstallMessageHandler(platformFailureExits);

    // QApplication keeps a reference to argc: it must outlive the application object.
    static int argumentCount = argc;
    MainProcess *app = new MainProcess(argumentCount, argv);

    // Platform plug-ins shipped next to the program come first; Qt's own
    // plug-in folders stay on the list so that the system's platform
    // plug-in is still found when nothing is shipped.
    QStringList paths = QCoreApplication::libraryPaths();
    paths.prepend("platforms/");
    QCoreApplication::setLibraryPaths(paths);

    const int code = app->exec();
    delete app;
    return code;
}
