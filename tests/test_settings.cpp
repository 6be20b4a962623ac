// Stored settings and the command line: what a start makes of them, what a closing window stores.
#include "AppTestSupport.h"
#include "app/ConfFileManager.h"

#include <QtTest>

#include <tuple>

using AppTest::runChild;

class TestSettings : public QObject {
    Q_OBJECT
    QString home;

    /// Replaces the stored settings; an invalid width stores nothing.
    static void store(const QVariant &width, const QVariant &fps = {}, const QVariant &quality = {},
                      const QString &dir = QString()) {
        QSettings settings("Tarnwell", "Vantaro");
        settings.clear();
        if (width.isValid()) {
            settings.setValue("input/width", width);
            settings.setValue("input/fps", fps);
            settings.setValue("input/quality", quality);
        }
        if (!dir.isEmpty()) settings.setValue("dir/save", dir);
        settings.sync();
    }
    static QString documents() {
        return QStandardPaths::standardLocations(QStandardPaths::DocumentsLocation).first();
    }

private slots:
    void initTestCase() { home = QDir::homePath(); }

    void readAndWriteRoundTrip() {
        store({});
        ConfFileManager conf;
        conf.readSettings("Vantaro");
        const std::string dir = (home + "/Bilder ä").toStdString(); // non-ASCII goes through as UTF-8
        conf.writeSettings(640, 100, 4, dir);
        ConfFileManager again;
        again.readSettings("Vantaro");
        const auto read = [&again] {
            return QString("%1 %2 %3").arg(again.storedWidth).arg(again.storedFps).arg(again.storedQuality);
        };
        QCOMPARE(read(), QString("640 100 4"));
        QCOMPARE(again.storedSaveDir, dir);
        store("wide", "fast", "best"); // not numbers: read as 0
        again.readSettings("Vantaro");
        QCOMPARE(read(), QString("0 0 0"));
        // Out-of-range indices (an empty box gives -1) fall back instead of reading past the tables.
        QCOMPARE(ConfFileManager::widthFromResolutionIndex(7), 1280);
        QCOMPARE(ConfFileManager::fpsFromFpsIndex(-1), 15);
    }

    // What a start makes of the stored values ("width fps quality"; none stored on a first start) and of
    // its command line, and what the closing window stores.
    void startFromStoredSettings_data() {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("want");
        QTest::addColumn<QString>("after");
        QTest::newRow("first start") << "" << QStringList()
                                     << "resolutionIndex=2 fpsIndex=1 cameraFps=30 quality=1 perfChecked=1"
                                     << "1280 30 1";
        // An unknown quality checks PERF., whose handler stores 1.
        QTest::newRow("unknown values") << "1024 25 9" << QStringList()
                                        << "resolutionIndex=2 fpsIndex=0 cameraFps=15 quality=1 perfChecked=1"
                                        << "1280 15 1";
        QTest::newRow("HD2K rebuilds the rate list")
            << "2208 30 2" << QStringList()
            << "resolutionIndex=0 fpsCount=1 fpsIndex=0 cameraFps=15 quality=2"
            << "2208 15 2";
        QTest::newRow("command line ignores stored input")
            << "640 60 4" << QStringList({"-r", "HD1080"})
            << "useLastSettings=0 resolutionIndex=1 fpsIndex=0 cameraFps=15 quality=3 qualityChecked=1"
            << "1920 15 3";
        QTest::newRow("rate alone keeps HD720")
            << "640 60 4" << QStringList({"-f", "60"}) << "resolutionIndex=2 fpsIndex=2 cameraFps=60"
            << "1280 60 3";
        QTest::newRow("rate above what HD2K offers is lowered")
            << "" << QStringList({"-r", "HD2K", "-f", "100"}) << "resolutionIndex=0 fpsIndex=0 fpsCount=1"
            << "2208 15 3";
        QTest::newRow("VGA is stored as 640 and read back")
            << "640 100 1" << QStringList() << "resolutionIndex=3 fpsIndex=3 fpsCount=4 cameraFps=100"
            << "640 100 1";
    }
    void startFromStoredSettings() {
        QFETCH(QString, before);
        QFETCH(QStringList, args);
        QFETCH(QString, want);
        QFETCH(QString, after);
        // The save folder is kept whatever the rest; on a first start it is made in Documents.
        const QString folder = before.isEmpty() ? documents() + "/VEXO" : home + "/snapshots";
        QDir(folder).removeRecursively();
        QDir().mkpath(before.isEmpty() ? documents() : folder);
        const QStringList values = before.split(' ', Qt::SkipEmptyParts);
        if (values.isEmpty())
            store({});
        else
            store(values[0].toInt(), values[1].toInt(), values[2].toInt(), folder);
        const auto r = runChild(args);
        QCOMPARE(r.exitCode, 0);
        for (const QString &pair : want.split(' '))
            QCOMPARE(pair.section('=', 0, 0) + "=" + r.values.value(pair.section('=', 0, 0)), pair);
        QCOMPARE(r.values.value("saveDir"), folder);
        QVERIFY(QFileInfo(folder).isDir());
        // Shutdown stores the values in use before the capture thread goes.
        QCOMPARE(r.values.value("storedBeforeThreadGone"), QString("1"));
        const QSettings stored("Tarnwell", "Vantaro");
        QCOMPARE(QString("%1 %2 %3")
                     .arg(stored.value("input/width").toInt())
                     .arg(stored.value("input/fps").toInt())
                     .arg(stored.value("input/quality").toInt()),
                 after);
        QCOMPARE(stored.value("dir/save").toString(), folder);
    }

    // The depth picture's look is stored by name and applied whatever the command line says.
    void depthLookSurvivesARestart() {
        for (const auto &[colormap, range, cloud, want] :
             {std::make_tuple("inferno", "fixed", "depth",
                              "colormap=3 colourCombo=3 depthRange=1 fixedChecked=1 cloudColours=1"),
              std::make_tuple("rainbow", "sometimes", "",
                              "colormap=0 colourCombo=0 depthRange=0 fixedChecked=0 cloudColours=0")}) {
            store({});
            {
                QSettings settings("Tarnwell", "Vantaro");
                settings.setValue("view/colormap", colormap);
                settings.setValue("view/range", range);
                settings.setValue("view/cloudColours", cloud);
            }
            const auto r = runChild({"-r", "VGA"});
            QCOMPARE(r.exitCode, 0);
            for (const QString &pair : QString(want).split(' '))
                QCOMPARE(pair.section('=', 0, 0) + "=" + r.values.value(pair.section('=', 0, 0)), pair);
            const QSettings stored("Tarnwell", "Vantaro");
            const bool known = QString(colormap) == "inferno";
            QCOMPARE(stored.value("view/colormap").toString(), QString(known ? "inferno" : "grey"));
            QCOMPARE(stored.value("view/range").toString(), QString(known ? "fixed" : "auto"));
            QCOMPARE(stored.value("view/cloudColours").toString(), QString(known ? "depth" : "image"));
        }
    }
};

int main(int argc, char **argv) {
    return AppTest::runWithApplication<TestSettings, false>(argc, argv, "settings", false);
}

#include "test_settings.moc"
