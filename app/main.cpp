#include "app/AppLog.h"
#include "app/CommandLineOptions.h"
#include "app/MainProcess.h"

#include <QCoreApplication>
#include <QStringList>

int main(int argc, char **argv) {
    AppLog::setUp();
    if (CommandLineOptions::asksForHelp(argc, argv)) {
        // Help needs no window system: answer it before one is opened, so
        // that `vantaro --help` also works without a display.
        int count = argc;
        QCoreApplication probe(count, argv);
        CommandLineOptions::parse(QCoreApplication::arguments());
    }
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
