// Snapshots through the real slots: names, contents read back, messages, failures, a stuck or ending session.
#include "AppTestSupport.h"
#include "twl/source/VirtualCamera.h"

#include <QDateTime>
#include <QImage>
#include <QRegularExpression>
#include <QtTest>

#include <atomic>
#include <cmath>
#include <functional>
#include <thread>

using AppTest::ModalCatcher;

class TestSnapshots : public QObject {
    Q_OBJECT
public:
    MainProcess *app = nullptr;

private:
    QTemporaryDir scratch;
    const QString dir = scratch.path(), recording = dir + "/walk.twv";
    GUI *gui() { return app->gui; }

    void playPaused() {
        if (!AppTest::isPlaying(app, recording)) {
            app->CreateTWVInput(recording);
            QTRY_VERIFY_WITH_TIMEOUT(AppTest::isPlaying(app, recording), 8000);
        }
        GlobalParams::setBool(PARAM_PAUSE, true);
        app->saveDir->setPath(dir + "/out");
    }
    void clearOut() {
        QDir(dir + "/out").removeRecursively();
        QDir().mkpath(dir + "/out");
    }
    /// Saves through `slot` with `row` chosen: the one file in out/, named
    /// PREFIX_serial_height_stamp.EXTENSION with the recording's serial, full height and a current time
    /// stamp, after one success box naming it and its folder.
    QString save(QComboBox *combo, int row, void (MainProcess::*slot)(), const QString &prefix,
                 const QString &extension) {
        clearOut();
        combo->setCurrentIndex(row);
        ModalCatcher catcher;
        (app->*slot)();
        const QStringList files = QDir(dir + "/out").entryList(QDir::Files);
        const auto m =
            QRegularExpression("^" + QRegularExpression::escape(prefix) +
                               "_4242_376_(\\d\\d-\\d\\d-\\d{4}-\\d\\d-\\d\\d-\\d\\d)\\." + extension + "$")
                .match(files.value(0));
        const QDateTime stamp = QDateTime::fromString(m.captured(1), "dd-MM-yyyy-hh-mm-ss");
        if (files.size() != 1 || !stamp.isValid() ||
            std::abs(stamp.secsTo(QDateTime::currentDateTime())) > 10 ||
            catcher.titles != QStringList{"Success"} || !catcher.texts.first().startsWith("Current ") ||
            !catcher.texts.first().endsWith(files.first() + " saved in " + dir + "/out .")) {
            qWarning() << files << catcher.titles << catcher.texts;
            return QString();
        }
        return dir + "/out/" + files.first();
    }

private slots:
    void initTestCase() {
        QDir().mkpath(dir + "/out");
        QVERIFY(AppTest::makeRecording(recording, 30));
    }
    // The camera a test switched on or unplugged goes back to absent.
    void cleanup() {
        qunsetenv("VANTARO_VIRTUAL_CAMERA");
        twl::VirtualCamera::replug();
    }

    void imagesMatchTheFrame() {
        playPaused();
        for (int row = 0; row < 3; ++row) {
            const QString prefix = QStringList{"Vantaro_Left", "Vantaro_Right", "Vantaro_SbS"}.at(row);
            const QString file = save(gui()->imageSaveCombo, row, &MainProcess::SaveImage, prefix, "png");
            QVERIFY2(!file.isEmpty(), qPrintable(prefix));
            const QImage image(file);
            QCOMPARE(image.height(), 376);
            if (row == 2) continue; // the side-by-side picture: size is all we know
            QCOMPARE(image.width(), 672);
            // Left: blue = x + 10 k, green = y, red = 200; the right picture is shifted by 12.
            const int shift = row == 1 ? 12 : 0;
            const int k = (qBlue(image.pixel(0, 0)) - shift + 256) % 256 / 10;
            int wrong = 0;
            for (int y = 0; y < 376; y += 7)
                for (int x = 0; x < 672 - 12; x += 5) {
                    const QRgb p = image.pixel(x, y);
                    wrong += qRed(p) != 200 || qGreen(p) != y % 256 ||
                             qBlue(p) != (x + shift + 10 * k) % 256 || qAlpha(p) != 255;
                }
            QVERIFY2(wrong == 0, qPrintable(QString("%1 pixels differ in %2").arg(wrong).arg(prefix)));
        }
    }

    // Every format is named and announced; the PNG and XYZ files (saved last) hold the frame on show.
    void depthMapsAndPointCloudsInEveryFormat() {
        playPaused();
        QString file;
        for (int row = 2; row >= 0; --row) {
            const QString name = QStringList{"PNG", "PFM", "PGM"}.at(row);
            file =
                save(gui()->depthFormatCombo, row, &MainProcess::SaveDepth, "depth_" + name, name.toLower());
            QVERIFY2(!file.isEmpty(), qPrintable(name));
        }
        const QImage image(file);
        QCOMPARE(image.format(), QImage::Format_Grayscale16);
        const twl::Mat &depth = app->inputThread->depthCPU;
        int compared = 0, wrong = 0;
        for (int y = 3; y < int(depth.getHeight()); y += 31)
            for (int x = 5; x < int(depth.getWidth()); x += 37) {
                float d = 0;
                depth.getValue(size_t(x), size_t(y), &d);
                const int want = std::isfinite(d) && d > 0 ? int(std::lround(d * 1000.0f)) : 0;
                compared += want > 0;
                wrong += std::abs(reinterpret_cast<const quint16 *>(image.constScanLine(y))[x] - want) > 1;
            }
        QVERIFY2(compared > 10, "depth should be mostly valid in millimetres");
        QVERIFY2(wrong == 0, qPrintable(QString("%1 values differ").arg(wrong)));
        const QStringList suffixes{"_XZY", "_PCD", "_PLY", "_VTK"}, extensions{"xyz", "pcd", "ply", "vtk"};
        for (int row = 3; row >= 0; --row) {
            file = save(gui()->pointCloudFormatCombo, row, &MainProcess::SavePointCloud,
                        "point_cloud" + suffixes[row], extensions[row]);
            QVERIFY2(!file.isEmpty(), qPrintable(extensions[row]));
        }
        const twl::Mat &cloud = app->inputThread->pointCloudCPU;
        int valid = 0;
        twl::Vector4<float> first;
        for (size_t y = 0; y < cloud.getHeight(); ++y)
            for (size_t x = 0; x < cloud.getWidth(); ++x) {
                twl::Vector4<float> p;
                cloud.getValue(x, y, &p);
                if (std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z) && valid++ == 0) first = p;
            }
        QVERIFY(valid > 1000);
        const QList<QByteArray> lines = TestSupport::readFile(file).trimmed().split('\n');
        QCOMPARE(lines.size(), valid);
        const QList<QByteArray> v = lines.first().split(' ');
        QCOMPARE(v.size(), 3); // no colour in XYZ
        QVERIFY(std::fabs(v[0].toFloat() - first.x) < 1e-4f);
        QVERIFY(std::fabs(v[2].toFloat() - first.z) < 1e-4f);
    }

    void sameSecondOverwritesAndNothingHalfWritten() {
        playPaused();
        clearOut();
        gui()->imageSaveCombo->setCurrentIndex(0);
        ModalCatcher catcher;
        app->SaveImage();
        app->SaveImage();
        QCOMPARE(catcher.titles.join(','), QString("Success,Success"));
        // One or two names (the second may fall into the next second), no temporaries left.
        const QStringList files = QDir(dir + "/out").entryList(QDir::Files | QDir::Hidden);
        QVERIFY2(files.size() >= 1 && files.size() <= 2, qPrintable(files.join(',')));
        for (const QString &f : files)
            QVERIFY2(f.startsWith("Vantaro_Left_") && f.endsWith(".png"), qPrintable(f));
    }

    void unwritableFolderGivesTheFailureBox() {
        playPaused();
        // A path below a plain file cannot be written, even by root.
        QVERIFY(QFile(dir + "/blocker").open(QIODevice::WriteOnly));
        const QString folder = dir + "/blocker/sub";
        app->saveDir->setPath(folder);
        ModalCatcher catcher;
        app->SaveImage();
        app->SaveDepth();
        app->SavePointCloud();
        QCOMPARE(catcher.titles.join(','), QString("Error,Error,Error"));
        const QStringList starts{"image Vantaro_Left_4242_376_", "depth depth_", "point cloud point_cloud_"};
        for (int i = 0; i < 3; ++i)
            QVERIFY2(catcher.texts[i].startsWith("Failed to save current " + starts[i]) &&
                         catcher.texts[i].contains(" in " + folder + ". Make sure you have permissions"),
                     qPrintable(catcher.texts[i]));
        QVERIFY(!QFileInfo::exists(folder));
        QVERIFY(AppTest::isPlaying(app, recording));
    }

    void sessionEndingOrStuckEndsTheWait() {
        qputenv("VANTARO_VIRTUAL_CAMERA", "1");
        twl::VirtualCamera::replug();
        app->CreateLiveInput();
        QTRY_VERIFY_WITH_TIMEOUT(gui()->statusLabel->text() == "LIVE", 10000);
        app->saveDir->setPath(dir + "/out");
        InputThreadModul *thread = app->inputThread;
        MainProcess *application = app; // GCC's vptr check misreads `this` captured in nested lambdas
        // A helper thread, never this one (its views lock to paint), holds the frame lock until the request
        // is up, does `then` and lets go when `until` holds or after 15 s. Returns how long the save took.
        ModalCatcher boxes;
        auto saveWhileLocked = [&](int request, void (MainProcess::*slot)(), std::function<void()> then,
                                   std::function<bool()> until) {
            std::atomic<bool> locked{false};
            std::thread helper([&]() {
                thread->frameMutex.lock();
                locked = true;
                for (int i = 0; i < 5000 && !thread->saveRequest[request]; ++i)
                    QThread::msleep(1);
                then();
                for (int i = 0; i < 15000 && !until(); ++i)
                    QThread::msleep(1);
                thread->frameMutex.unlock();
            });
            while (!locked)
                QThread::msleep(1);
            QElapsedTimer clock;
            clock.start();
            (application->*slot)();
            helper.join();
            return clock.elapsed();
        };
        // Held throughout: no progress, so the wait gives up, says so and leaves no stale request behind.
        const qint64 stuck = saveWhileLocked(
            3, &MainProcess::SaveDepth, [] {}, [&] { return !thread->saveRequest[3]; });
        QVERIFY(stuck >= MainProcess::kSnapshotWaitMs && stuck < MainProcess::kSnapshotWaitMs + 2000);
        QCOMPARE(boxes.titles, QStringList{"Error"});
        QVERIFY2(boxes.texts[0].contains("no progress") && !boxes.texts[0].contains("permissions"),
                 qPrintable(boxes.texts[0]));
        QVERIFY(!thread->saveRequest[3]);
        // The camera goes while a save waits: the loop ends and so does the wait.
        gui()->imageSaveCombo->setCurrentIndex(0);
        const qint64 ended = saveWhileLocked(
            0, &MainProcess::SaveImage, [] { twl::VirtualCamera::unplug(); },
            [&] { return !thread->isRunning(); });
        QVERIFY(ended < MainProcess::kSnapshotWaitMs);
        QCOMPARE(boxes.titles.join(','), QString("Error,Error"));
        QTRY_COMPARE_WITH_TIMEOUT(gui()->inputState, 0, 5000);
    }

    void nothingHappensWithoutARunningSession() {
        app->reset();
        ModalCatcher catcher;
        app->SaveImage();
        app->SaveDepth();
        app->SavePointCloud();
        QTest::qWait(100);
        QVERIFY(catcher.titles.isEmpty());
    }
};

int main(int argc, char **argv) {
    return AppTest::runWithApplication<TestSnapshots>(argc, argv, "snap", false);
}

#include "test_snapshots.moc"
