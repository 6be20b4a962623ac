// vantaro without a display: options are still answered; no display is one line, not a crash.
#include "app/WindowSystem.h"

#include <QtTest>

class TestCommandLineNoDisplay : public QObject {
    Q_OBJECT

    struct Run {
        int code;
        QProcess::ExitStatus status;
        QString out, err;
    };
    static Run run(const QStringList &args, const QString &display = QString()) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(name);
        if (!display.isEmpty()) env.insert("DISPLAY", display);
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(QFileInfo(qEnvironmentVariable("VANTARO_TWV_TOOL")).absolutePath() + "/vantaro", args);
        p.waitForFinished(20000);
        return {p.exitCode(), p.exitStatus(), p.readAllStandardOutput(), p.readAllStandardError()};
    }

private slots:
    void commandLineNeedsNoDisplay() {
        const Run version = run({"-style", "fusion", "--version"}); // Qt's own options are no unknown ones
        QCOMPARE(version.code, 0);
        QVERIFY2(QRegularExpression("^vantaro \\d+\\.\\d+(\\.\\d+)?\n$").match(version.out).hasMatch(),
                 qPrintable(version.out));
        const Run bogus = run({"--bogus", "-platform", "xcb"});
        QCOMPARE(bogus.code, 1);
        QVERIFY2(bogus.err.contains("Unknown option 'bogus'"), qPrintable(bogus.err));
    }

    void noDisplayIsOneLineAndNoCrash() {
        for (const QString &display : {QString(), QString(":1234")}) { // none, and one nobody listens on
            const Run r = run({"-r", "VGA"}, display);
            QCOMPARE(r.status, QProcess::NormalExit);
            QCOMPARE(r.code, 1);
            QVERIFY2(r.err.endsWith("\n") && r.err.split('\n').filter("vantaro needs a display").size() == 1,
                     qPrintable(r.err));
        }
    }

    void platformDecidesWhatCountsAsDisplay() {
        QProcessEnvironment env;
        const QStringList bare{"vantaro"};
        QVERIFY(!WindowSystem::missingDisplay(bare, env).isEmpty());
        QVERIFY(WindowSystem::missingDisplay({"vantaro", "-platform", "offscreen"}, env).isEmpty());
        QVERIFY(WindowSystem::missingDisplay({"vantaro", "-display", ":0"}, env).isEmpty());
        env.insert("WAYLAND_DISPLAY", "wayland-0"); // Qt 5 still defaults to xcb
        QVERIFY(WindowSystem::missingDisplay(bare, env).contains("QT_QPA_PLATFORM=wayland"));
        env.insert("QT_QPA_PLATFORM", "xcb;wayland");
        QVERIFY(WindowSystem::missingDisplay(bare, env).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestCommandLineNoDisplay)
#include "test_command_line_nodisplay.moc"
