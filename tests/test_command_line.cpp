// The command line: resolution and frame-rate rules, how they reach the
// window, help and unknown options, and a recording named as an argument.
#include "AppTestSupport.h"
#include "app/CommandLineOptions.h"

#include <QtTest>

using AppTest::runChild;

class TestCommandLine : public QObject {
    Q_OBJECT

    static QString vantaro() {
        return QFileInfo(qEnvironmentVariable("VANTARO_TWV_TOOL")).absolutePath() + "/vantaro";
    }
    static CommandLineOptions parse(const QStringList &args) {
        return CommandLineOptions::parse(QStringList() << "vantaro" << args);
    }

private slots:
    void initTestCase() { qunsetenv("VANTARO_VIRTUAL_CAMERA"); }

    void resolutionValuesMatchBySubstring() {
        QCOMPARE(parse({"-r", "720"}).resolutionIndex, 2);
        // The last name containing the value wins: "HD" is in the first three names.
        QCOMPARE(parse({"-r", "HD"}).resolutionIndex, 2);
        QCOMPARE(parse({"-r", "XYZ"}).resolutionIndex, 2);
        QCOMPARE(parse({"-r", "hd2k"}).resolutionIndex, 2); // case-sensitive
        QCOMPARE(parse({"--resolution", "2K"}).resolutionIndex, 0);
        QCOMPARE(parse({"--resolution=VGA"}).resolutionIndex, 3);
        QCOMPARE(parse({"-r", ""}).resolutionIndex, 3);
    }

    void frameRateValues() {
        QCOMPARE(parse({"--frequency", "100"}).fpsIndex, 3);
        QCOMPARE(parse({"-f", "25"}).fpsIndex, 0);
        QCOMPARE(parse({"-f", "fast"}).fpsIndex, 0);
        QCOMPARE(parse({"-f", "0x3c"}).fpsIndex, 0); // base 10 only
    }

    void whatSwitchesStoredSettingsOff() {
        CommandLineOptions none = CommandLineOptions::parse({"vantaro"});
        QVERIFY(none.useLastSettings);
        QVERIFY(!none.verbose);
        QCOMPARE(none.resolutionIndex, 2);
        QCOMPARE(none.fpsIndex, 0);
        QVERIFY(parse({"-v"}).useLastSettings);
        QVERIFY(parse({"-v"}).verbose);
        QVERIFY(!parse({"-f", "25"}).useLastSettings); // even a value that selects nothing
        QVERIFY(!parse({"-r", "XYZ"}).useLastSettings);
        QCOMPARE(parse({"walk.twv"}).fileToOpen, QString("walk.twv"));
    }

    void optionsReachTheWindow() {
        // -r alone keeps 15 fps; -f alone keeps HD720.
        auto r = runChild({"-r", "HD1080"});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.values.value("resolutionIndex"), QString("1"));
        QCOMPARE(r.values.value("fpsIndex"), QString("0"));
        QCOMPARE(r.values.value("cameraFps"), QString("15"));
        r = runChild({"-f", "60"});
        QCOMPARE(r.values.value("resolutionIndex"), QString("2"));
        QCOMPARE(r.values.value("fpsIndex"), QString("2"));
        QCOMPARE(r.values.value("cameraFps"), QString("60"));
        // 100 fps is more than HD2K offers: the window lowers it.
        r = runChild({"-r", "HD2K", "-f", "100"});
        QCOMPARE(r.values.value("resolutionIndex"), QString("0"));
        QCOMPARE(r.values.value("fpsIndex"), QString("0"));
        QCOMPARE(r.values.value("fpsCount"), QString("1"));
    }

    void verbosityFillsTheLoadLine() {
        QProcessEnvironment env;
        env.insert("CHILD_WAIT_MS", "3500");
        auto r = runChild({"-v"}, env);
        QCOMPARE(r.exitCode, 0);
        const QRegularExpression line("^ CPU/GPU load : (-?\\d+\\.\\d)% (-?\\d+\\.\\d)% -- GPU Mem: "
                                      "(-?\\d+\\.\\d)% -- RAM: (-?\\d+\\.\\d)%$");
        const QString text = r.values.value("statusText");
        QVERIFY2(line.match(text).hasMatch(), qPrintable(text));
        // After a few ticks the sampler has run: the CPU and RAM figures are measured.
        QVERIFY2(!text.contains(": -1.0%"), qPrintable(text));
        QVERIFY2(!text.endsWith("RAM: -1.0%"), qPrintable(text));
        // During playback the figures keep coming and reach the window.
        const QString dir =
            QDir::tempPath() + "/vantaro-cmdline-v-" + QString::number(QCoreApplication::applicationPid());
        QDir().mkpath(dir);
        QVERIFY(AppTest::makeRecording(dir + "/loop.twv", 10));
        r = runChild({"-v", dir + "/loop.twv"}, env);
        QDir(dir).removeRecursively();
        QCOMPARE(r.values.value("inputState"), QString("3"));
        const QString shown = r.values.value("cpuGpuLabel");
        QVERIFY2(line.match(shown).hasMatch(), qPrintable(shown));
        QVERIFY2(!shown.startsWith(" CPU/GPU load : -1.0%"), qPrintable(shown));
        // Without it there is no load text at all.
        r = runChild({});
        QCOMPARE(r.values.value("statusText"), QString());
    }

    void helpAndUnknownOptions() {
        QProcess help;
        help.start(vantaro(), {"--help"});
        QVERIFY(help.waitForFinished(20000));
        QCOMPARE(help.exitCode(), 0);
        const QString out = QString::fromUtf8(help.readAllStandardOutput());
        QVERIFY(out.contains("--resolution <HD720>"));

        QProcess bogus;
        bogus.start(vantaro(), {"--bogus", "-platform", "offscreen"});
        QVERIFY(bogus.waitForFinished(20000));
        QCOMPARE(bogus.exitCode(), 1);
        QVERIFY(QString::fromUtf8(bogus.readAllStandardError()).contains("Unknown option 'bogus'"));
    }

    void recordingArgument() {
        const QString dir =
            QDir::tempPath() + "/vantaro-cmdline-" + QString::number(QCoreApplication::applicationPid());
        QDir().mkpath(dir);
        const QString file = dir + "/walk.twv";
        QVERIFY(AppTest::makeRecording(file, 10));
        QProcessEnvironment env;
        env.insert("CHILD_WAIT_MS", "2500");
        auto r = runChild({file}, env);
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.values.value("inputState"), QString("3"));
        QCOMPARE(r.values.value("status"), QString("PLAYBACK"));
        QCOMPARE(r.values.value("twvPath"), file);
        QCOMPARE(r.values.value("saveDir"), dir);

        // A missing file or one that is no recording: a message, and the viewer keeps running.
        r = runChild({dir + "/missing.twv"});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.values.value("inputState"), QString("0"));
        QVERIFY2(r.values.value("status").contains("missing.twv"), qPrintable(r.values.value("status")));
        QVERIFY(r.errors.contains("missing.twv"));
        QFile text(dir + "/notes.txt");
        QVERIFY(text.open(QIODevice::WriteOnly));
        text.write("hello");
        text.close();
        r = runChild({dir + "/notes.txt"});
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(r.values.value("status").contains("notes.txt"), qPrintable(r.values.value("status")));
        QDir(dir).removeRecursively();
    }
};

int main(int argc, char **argv) {
    const int child = AppTest::runChildIfAsked(argc, argv);
    if (child >= 0) return child;
    AppTest::isolateUserDirs(QDir::tempPath() + "/vantaro-test-cmdline-" +
                             QString::number(QCoreApplication::applicationPid()));
    QApplication app(argc, argv);
    TestCommandLine test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_command_line.moc"
