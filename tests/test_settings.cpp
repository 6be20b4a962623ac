// Stored settings: the mappings both ways, first start, read-back of what a
// closing window stored, fallbacks, and the command line overriding them.
#include "AppTestSupport.h"
#include "app/ConfFileManager.h"

#include <QtTest>

using AppTest::runChild;

class TestSettings : public QObject {
    Q_OBJECT
    QString home;

    static void clearStored() {
        QSettings settings("Tarnwell", "Vantaro");
        settings.clear();
        settings.sync();
    }
    static void store(const QVariant &width, const QVariant &fps, const QVariant &quality,
                      const QString &dir) {
        QSettings settings("Tarnwell", "Vantaro");
        settings.setValue("input/width", width);
        settings.setValue("input/fps", fps);
        settings.setValue("input/quality", quality);
        if (!dir.isEmpty()) settings.setValue("dir/save", dir);
        settings.sync();
    }
    static QString documents() {
        return QStandardPaths::standardLocations(QStandardPaths::DocumentsLocation).first();
    }

private slots:
    void initTestCase() {
        home = QDir::homePath();
        qunsetenv("VANTARO_VIRTUAL_CAMERA");
    }

    void widthAndRateMappings() {
        // Both VGA widths are read back as VGA; anything unknown falls back.
        QCOMPARE(ConfFileManager::resolutionIndexFromWidth(672), 3);
        QCOMPARE(ConfFileManager::resolutionIndexFromWidth(1024), 2);
        QCOMPARE(ConfFileManager::widthFromResolutionIndex(7), 1280);
        QCOMPARE(ConfFileManager::fpsIndexFromFps(25), 0);
        QCOMPARE(ConfFileManager::fpsFromFpsIndex(-1), 15);
    }

    void readAndWriteRoundTrip() {
        clearStored();
        ConfFileManager conf;
        QVERIFY(conf.storedSaveDir.empty());
        conf.readSettings("Vantaro");
        QCOMPARE(conf.storedWidth, 1280);
        QCOMPARE(conf.storedFps, 30);
        QCOMPARE(conf.storedQuality, 0);
        QCOMPARE(QString::fromStdString(conf.storedSaveDir), documents() + "/VEXO");

        const std::string dir = (home + "/Bilder ä").toStdString(); // non-ASCII goes through as UTF-8
        conf.writeSettings(640, 100, 4, dir);
        ConfFileManager again;
        again.readSettings("Vantaro");
        QCOMPARE(again.storedWidth, 640);
        QCOMPARE(again.storedFps, 100);
        QCOMPARE(again.storedQuality, 4);
        QCOMPARE(again.storedSaveDir, dir);

        store("wide", "fast", "best", QString()); // not numbers: read as 0
        again.readSettings("Vantaro");
        QCOMPARE(again.storedWidth, 0);
        QCOMPARE(again.storedFps, 0);
        QCOMPARE(again.storedQuality, 0);
    }

    void firstStartUsesDefaultsAndCreatesTheFolder() {
        clearStored();
        QDir(documents() + "/VEXO").removeRecursively();
        QDir().mkpath(documents());
        const auto r = runChild({});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.values.value("resolutionIndex"), QString("2"));
        QCOMPARE(r.values.value("fpsIndex"), QString("1"));
        QCOMPARE(r.values.value("cameraFps"), QString("30"));
        QCOMPARE(r.values.value("quality"), QString("1"));
        QCOMPARE(r.values.value("perfChecked"), QString("1"));
        QCOMPARE(r.values.value("saveDir"), documents() + "/VEXO");
        QVERIFY(QFileInfo(documents() + "/VEXO").isDir());
        // Shutdown stores the values in use before the capture thread goes.
        QCOMPARE(r.values.value("storedBeforeThreadGone"), QString("1"));
        QSettings settings("Tarnwell", "Vantaro");
        QCOMPARE(settings.value("input/width").toInt(), 1280);
        QCOMPARE(settings.value("input/fps").toInt(), 30);
        QCOMPARE(settings.value("input/quality").toInt(), 1);
    }

    void vgaIsStoredAs640AndReadBack() {
        clearStored();
        QProcessEnvironment env;
        env.insert("CHILD_SET_RES", "3");
        auto r = runChild({}, env);
        QCOMPARE(r.exitCode, 0);
        {
            QSettings settings("Tarnwell", "Vantaro");
            QCOMPARE(settings.value("input/width").toInt(), 640);
            QCOMPARE(settings.value("input/fps").toInt(), 100); // VGA's own highest rate
        }
        r = runChild({});
        QCOMPARE(r.values.value("resolutionIndex"), QString("3"));
        QCOMPARE(r.values.value("fpsIndex"), QString("3"));
        QCOMPARE(r.values.value("fpsCount"), QString("4"));
    }

    void unknownValuesFallBack() {
        clearStored();
        store(1024, 25, 9, QString());
        const auto r = runChild({});
        QCOMPARE(r.values.value("resolutionIndex"), QString("2"));
        QCOMPARE(r.values.value("fpsIndex"), QString("0"));
        QCOMPARE(r.values.value("cameraFps"), QString("15"));
        // An unknown quality checks PERF., whose handler stores 1.
        QCOMPARE(r.values.value("quality"), QString("1"));
        QCOMPARE(r.values.value("perfChecked"), QString("1"));
    }

    void commandLineIgnoresStoredInputButKeepsTheFolder() {
        clearStored();
        const QString dir = home + "/snapshots";
        QDir().mkpath(dir);
        store(640, 60, 4, dir);
        const auto r = runChild({"-r", "HD1080"});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.values.value("useLastSettings"), QString("0"));
        QCOMPARE(r.values.value("resolutionIndex"), QString("1"));
        QCOMPARE(r.values.value("fpsIndex"), QString("0"));
        QCOMPARE(r.values.value("quality"), QString("3"));
        QCOMPARE(r.values.value("qualityChecked"), QString("1"));
        QCOMPARE(r.values.value("saveDir"), dir);
        // What was in use is what gets stored.
        QSettings settings("Tarnwell", "Vantaro");
        QCOMPARE(settings.value("input/width").toInt(), 1920);
        QCOMPARE(settings.value("input/fps").toInt(), 15);
        QCOMPARE(settings.value("input/quality").toInt(), 3);
        QCOMPARE(settings.value("dir/save").toString(), dir);
    }

    void hd2kStoredRebuildsTheRateList() {
        clearStored();
        store(2208, 30, 2, QString());
        const auto r = runChild({});
        QCOMPARE(r.values.value("resolutionIndex"), QString("0"));
        QCOMPARE(r.values.value("fpsCount"), QString("1"));
        QCOMPARE(r.values.value("fpsIndex"), QString("0"));
        QCOMPARE(r.values.value("cameraFps"), QString("15"));
        QCOMPARE(r.values.value("quality"), QString("2"));
    }
};

int main(int argc, char **argv) {
    const int child = AppTest::runChildIfAsked(argc, argv);
    if (child >= 0) return child;
    AppTest::isolateUserDirs(QDir::tempPath() + "/vantaro-test-settings-" +
                             QString::number(QCoreApplication::applicationPid()));
    QApplication app(argc, argv);
    TestSettings test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_settings.moc"
