// The command line: resolution and rate rules, the load line, help, a recording as argument.
#include "AppTestSupport.h"
#include "app/CommandLineOptions.h"
#include "monitor/CPUGPUInfos.h"

#include <QtTest>

using AppTest::runChild;

class TestCommandLine : public QObject {
    Q_OBJECT

    static CommandLineOptions parse(const QStringList &args) {
        return CommandLineOptions::parse(QStringList() << "vantaro" << args);
    }

private slots:
    void valuesAndWhatSwitchesStoredSettingsOff() {
        // The last name containing the value wins ("HD" is in the first three names); case counts.
        QCOMPARE(parse({"-r", "HD"}).resolutionIndex, 2);
        QCOMPARE(parse({"-r", "hd2k"}).resolutionIndex, 2);
        QCOMPARE(parse({"--resolution", "2K"}).resolutionIndex, 0);
        QCOMPARE(parse({"--resolution=VGA"}).resolutionIndex, 3);
        // Rates in base 10 that the camera offers; anything else is the first.
        QCOMPARE(parse({"--frequency", "100"}).fpsIndex, 3);
        QCOMPARE(parse({"-f", "25"}).fpsIndex, 0);
        QCOMPARE(parse({"-f", "0x3c"}).fpsIndex, 0);
        // Any input option, even one that selects nothing, switches the stored settings off; -v does not.
        CommandLineOptions none = CommandLineOptions::parse({"vantaro"});
        QVERIFY(none.useLastSettings && !none.verbose);
        QVERIFY(parse({"-v"}).useLastSettings && parse({"-v"}).verbose);
        QVERIFY(!parse({"-f", "25"}).useLastSettings);
        QVERIFY(!parse({"-r", "XYZ"}).useLastSettings);
    }

    // A recording named on the command line plays, snapshots go beside it, and no load line shows without
    // -v; with -v the sampler's figures fill the line and reach the window.
    void recordingArgumentAndLoadLine() {
        QTemporaryDir scratch;
        const QString dir = scratch.path();
        const QString file = dir + "/walk.twv";
        QVERIFY(AppTest::makeRecording(file, 10));
        QProcessEnvironment env;
        env.insert("CHILD_WAIT_MS", "3500");
        auto r = runChild({file}, env);
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.values.value("inputState"), QString("3"));
        QCOMPARE(r.values.value("status"), QString("PLAYBACK"));
        QCOMPARE(r.values.value("twvPath"), file);
        QCOMPARE(r.values.value("saveDir"), dir);
        QCOMPARE(r.values.value("statusText"), QString());
        // What a crash leaves, a .partial without its closing index, plays too.
        const QString partial = file + ".partial";
        QVERIFY(QFile::rename(file, partial) && QFile::resize(partial, QFileInfo(partial).size() - 16));
        r = runChild({"-v", partial}, env);
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.values.value("inputState"), QString("3"));
        // After a few ticks the window shows the sampler's line with the CPU and memory figures measured
        // (the GPU's load may be unavailable). The label follows the line every few frames, so the two
        // may hold samples a tick apart: each must be a whole line of its own.
        for (const char *key : {"statusText", "cpuGpuLabel"}) {
            const QString text = r.values.value(key);
            QVector<float> figures;
            for (auto it = QRegularExpression("-?\\d+\\.\\d(?=%)").globalMatch(text); it.hasNext();)
                figures << it.next().captured(0).toFloat();
            QVERIFY2(figures.size() == 4, qPrintable(text));
            QCOMPARE(text, CPUGPUInfos::statusText(figures[0], figures[1], figures[2], figures[3]));
            QVERIFY2(figures[0] >= 0 && figures[2] >= 0 && figures[3] >= 0, qPrintable(text));
        }
    }

    void helpListsTheOptions() {
        QProcess help;
        help.start(QFileInfo(qEnvironmentVariable("VANTARO_TWV_TOOL")).absolutePath() + "/vantaro",
                   {"--help"});
        QVERIFY(help.waitForFinished(20000));
        QCOMPARE(help.exitCode(), 0);
        QVERIFY(QString::fromUtf8(help.readAllStandardOutput()).contains("--resolution <HD720>"));
    }
};

int main(int argc, char **argv) {
    return AppTest::runWithApplication<TestCommandLine, false>(argc, argv, "cmdline", false);
}

#include "test_command_line.moc"
