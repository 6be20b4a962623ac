// Snapshots through the real slots: names, contents read back, messages, failures, a session ending while a save waits.
#include "AppTestSupport.h"
#include "twl/VirtualCamera.h"

#include <QDateTime>
#include <QImage>
#include <QRegularExpression>
#include <QtTest>

#include <atomic>
#include <cmath>
#include <thread>

using AppTest::ModalCatcher;

class TestSnapshots : public QObject {
    Q_OBJECT
public:
    MainProcess *app = nullptr;

private:
    QString dir;
    QString recording;
    GUI *gui() { return app->gui; }

    bool isPlaying(const QString &file) {
        return app->inputThread && app->inputThread->isFile && app->inputThread->isRunning() &&
               gui()->statusLabel->text() == "PLAYBACK" && GlobalParams::stringRef(PARAM_TWV_PATH) == file &&
               !app->busy;
    }
    void playPaused() {
        if (!isPlaying(recording)) {
            app->CreateTWVInput(recording);
            QTRY_VERIFY_WITH_TIMEOUT(isPlaying(recording), 8000);
        }
        GlobalParams::setBool(PARAM_PAUSE, true);
        app->saveDir->setPath(dir + "/out");
    }
    /// The one file in out/ matching `pattern`, checked for serial, full height and a current time stamp.
    QString savedFile(const QString &prefix, const QString &extension) {
        const QRegularExpression name("^" + QRegularExpression::escape(prefix) +
                                      "_(\\d+)_(\\d+)_(\\d\\d-\\d\\d-\\d{4}-\\d\\d-\\d\\d-\\d\\d)\\." +
                                      extension + "$");
        QStringList hits;
        for (const QString &f : QDir(dir + "/out").entryList(QDir::Files))
            if (name.match(f).hasMatch()) hits << f;
        if (hits.size() != 1) {
            qWarning() << "files in out/:" << QDir(dir + "/out").entryList(QDir::Files);
            return QString();
        }
        const auto m = name.match(hits.first());
        if (m.captured(1) != "4242" || m.captured(2) != "376") return QString();
        const QDateTime stamp = QDateTime::fromString(m.captured(3), "dd-MM-yyyy-hh-mm-ss");
        if (!stamp.isValid() || std::abs(stamp.secsTo(QDateTime::currentDateTime())) > 10) return QString();
        return dir + "/out/" + hits.first();
    }
    void clearOut() {
        QDir(dir + "/out").removeRecursively();
        QDir().mkpath(dir + "/out");
    }

private slots:
    void initTestCase() {
        dir = QDir::tempPath() + "/vantaro-snap-" + QString::number(QCoreApplication::applicationPid());
        QDir().mkpath(dir + "/out");
        recording = dir + "/walk.twv";
        QVERIFY(AppTest::makeRecording(recording, 30));
    }
    // The camera a test switched on or unplugged goes back to absent.
    void cleanup() {
        qunsetenv("VANTARO_VIRTUAL_CAMERA");
        twl::VirtualCamera::replug();
    }
    void cleanupTestCase() {
        if (app->gui) app->gui->close();
        QDir(dir).removeRecursively();
    }

    void imagesMatchTheFrame() {
        playPaused();
        for (int row = 0; row < 3; ++row) {
            clearOut();
            gui()->imageSaveCombo->setCurrentIndex(row);
            ModalCatcher catcher;
            app->SaveImage();
            QCOMPARE(catcher.titles, QStringList() << "Success");
            const QString prefix = row == 0 ? "Vantaro_Left" : row == 1 ? "Vantaro_Right" : "Vantaro_SbS";
            const QString file = savedFile(prefix, "png");
            QVERIFY2(!file.isEmpty(), qPrintable(prefix));
            QCOMPARE(catcher.texts.first(),
                     QString("Current image %1 saved in %2 .").arg(QFileInfo(file).fileName(), dir + "/out"));
            const QImage image(file);
            QVERIFY(!image.isNull());
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
                    if (qRed(p) != 200 || qGreen(p) != y % 256 || qBlue(p) != (x + shift + 10 * k) % 256 ||
                        qAlpha(p) != 255)
                        ++wrong;
                }
            QVERIFY2(wrong == 0, qPrintable(QString("%1 pixels differ in %2").arg(wrong).arg(prefix)));
        }
    }

    void depthMapsInEveryFormat() {
        playPaused();
        const twl::Mat &depth = app->inputThread->depthCPU;
        for (int row = 0; row < 3; ++row) {
            clearOut();
            gui()->depthFormatCombo->setCurrentIndex(row);
            ModalCatcher catcher;
            app->SaveDepth();
            QCOMPARE(catcher.titles, QStringList() << "Success");
            const QString name = QStringList{"PNG", "PFM", "PGM"}.at(row);
            const QString file = savedFile("depth_" + name, name.toLower());
            QVERIFY2(!file.isEmpty(), qPrintable(name));
            QVERIFY(catcher.texts.first().startsWith("Current depth " + QFileInfo(file).fileName()));
            if (row != 0) continue; // how each format encodes a map is the export test's business
            // The millimetres of the frame on show, not of another one.
            const QImage image(file);
            QCOMPARE(image.format(), QImage::Format_Grayscale16);
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
        }
    }

    void pointCloudsInEveryFormat() {
        playPaused();
        const twl::Mat &cloud = app->inputThread->pointCloudCPU;
        const QStringList suffixes{"_XZY", "_PCD", "_PLY", "_VTK"};
        const QStringList extensions{"xyz", "pcd", "ply", "vtk"};
        for (int row = 0; row < 4; ++row) {
            clearOut();
            gui()->pointCloudFormatCombo->setCurrentIndex(row);
            ModalCatcher catcher;
            app->SavePointCloud();
            QCOMPARE(catcher.titles, QStringList() << "Success");
            const QString file = savedFile("point_cloud" + suffixes[row], extensions[row]);
            QVERIFY2(!file.isEmpty(), qPrintable(extensions[row]));
            QVERIFY(catcher.texts.first().startsWith("Current point cloud " + QFileInfo(file).fileName()));
            // The host matrix holds what was written.
            int valid = 0;
            twl::Vector4<float> first;
            bool haveFirst = false;
            for (size_t y = 0; y < cloud.getHeight(); ++y)
                for (size_t x = 0; x < cloud.getWidth(); ++x) {
                    twl::Vector4<float> p;
                    cloud.getValue(x, y, &p);
                    if (std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z)) {
                        if (!haveFirst) first = p;
                        haveFirst = true;
                        ++valid;
                    }
                }
            QVERIFY(valid > 1000);
            QFile f(file);
            QVERIFY(f.open(QIODevice::ReadOnly));
            const QByteArray bytes = f.readAll();
            const QString n = QString::number(valid);
            if (row == 0) {
                const QList<QByteArray> lines = bytes.trimmed().split('\n');
                QCOMPARE(lines.size(), valid);
                const QList<QByteArray> v = lines.first().split(' ');
                QCOMPARE(v.size(), 3); // no colour in XYZ
                QVERIFY(std::fabs(v[0].toFloat() - first.x) < 1e-4f);
                QVERIFY(std::fabs(v[2].toFloat() - first.z) < 1e-4f);
            } else if (row == 1) {
                QVERIFY(bytes.contains("FIELDS x y z rgb"));
                QVERIFY(bytes.contains(("POINTS " + n + "\n").toUtf8()));
            } else if (row == 2) {
                QVERIFY(bytes.startsWith("ply\n"));
                QVERIFY(bytes.contains(("element vertex " + n + "\n").toUtf8()));
                QVERIFY(bytes.contains("property uchar red"));
            } else {
                QVERIFY(bytes.contains(("POINTS " + n + " ").toUtf8()));
            }
        }
    }

    void sameSecondOverwritesAndNothingHalfWritten() {
        playPaused();
        clearOut();
        gui()->imageSaveCombo->setCurrentIndex(0);
        ModalCatcher catcher;
        app->SaveImage();
        app->SaveImage();
        QCOMPARE(catcher.titles, QStringList() << "Success"
                                               << "Success");
        // One or two names (the second may fall into the next second), no temporaries left.
        const QStringList files = QDir(dir + "/out").entryList(QDir::Files | QDir::Hidden);
        QVERIFY2(files.size() >= 1 && files.size() <= 2, qPrintable(files.join(',')));
        for (const QString &f : files)
            QVERIFY2(f.startsWith("Vantaro_Left_") && f.endsWith(".png"), qPrintable(f));
    }

    void unwritableFolderGivesTheFailureBox() {
        playPaused();
        // A path below a plain file cannot be written, even by root.
        QFile blocker(dir + "/blocker");
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        const QString folder = dir + "/blocker/sub";
        app->saveDir->setPath(folder);
        const QString hint = "Make sure you have permissions to write files in the selected folder.";
        ModalCatcher catcher;
        app->SaveImage();
        app->SaveDepth();
        app->SavePointCloud();
        QCOMPARE(catcher.titles, QStringList() << "Error"
                                               << "Error"
                                               << "Error");
        const QRegularExpression image(
            "^Failed to save current image Vantaro_Left_4242_376_[-0-9]+\\.png in " +
            QRegularExpression::escape(folder) + "\\. " + QRegularExpression::escape(hint) + "$");
        QVERIFY2(image.match(catcher.texts[0]).hasMatch(), qPrintable(catcher.texts[0]));
        QVERIFY(catcher.texts[1].startsWith("Failed to save current depth depth_"));
        QVERIFY(catcher.texts[1].endsWith(" in " + folder + ". " + hint));
        QVERIFY(catcher.texts[2].startsWith("Failed to save current point cloud point_cloud_"));
        QVERIFY(!QFileInfo::exists(folder));
        QVERIFY(isPlaying(recording));
    }

    void sessionEndingOrStuckEndsTheWait() {
        qputenv("VANTARO_VIRTUAL_CAMERA", "1");
        twl::VirtualCamera::replug();
        app->CreateLiveInput();
        QTRY_VERIFY_WITH_TIMEOUT(gui()->statusLabel->text() == "LIVE", 10000);
        app->saveDir->setPath(dir + "/out");
        InputThreadModul *thread = app->inputThread;

        // A reader holding the frame lock keeps the loop from serving requests:
        // no progress, so the wait gives up.
        {
            // The lock is held by a helper thread: the views take it too
            // when they paint, so it must never be held by the GUI thread.
            ModalCatcher catcher;
            std::atomic<bool> locked{false};
            std::thread helper([&]() {
                thread->frameMutex.lock();
                locked = true;
                for (int i = 0; i < 5000 && !thread->saveRequest[3]; ++i)
                    QThread::msleep(1);
                for (int i = 0; i < 15000 && thread->saveRequest[3]; ++i)
                    QThread::msleep(1);
                thread->frameMutex.unlock();
            });
            while (!locked)
                QThread::msleep(1);
            QElapsedTimer clock;
            clock.start();
            app->SaveDepth();
            helper.join();
            QVERIFY(clock.elapsed() >= MainProcess::kSnapshotWaitMs);
            QVERIFY(clock.elapsed() < MainProcess::kSnapshotWaitMs + 2000);
            QCOMPARE(catcher.titles, QStringList() << "Error");
            QVERIFY(!thread->saveRequest[3]); // no stale request left behind
        }
        // The camera goes while a save waits: the loop ends and so does the wait.
        {
            // A helper holds the frame lock so that the request cannot be
            // served, pulls the cable once the request is up, and lets go
            // when the loop has ended.
            ModalCatcher catcher;
            std::atomic<bool> locked{false};
            std::thread helper([&]() {
                thread->frameMutex.lock();
                locked = true;
                for (int i = 0; i < 5000 && !thread->saveRequest[0]; ++i)
                    QThread::msleep(1);
                twl::VirtualCamera::unplug();
                for (int i = 0; i < 5000 && thread->isRunning(); ++i)
                    QThread::msleep(1);
                thread->frameMutex.unlock();
            });
            while (!locked)
                QThread::msleep(1);
            QElapsedTimer clock;
            clock.start();
            gui()->imageSaveCombo->setCurrentIndex(0);
            app->SaveImage();
            helper.join();
            QVERIFY(clock.elapsed() < MainProcess::kSnapshotWaitMs);
            QCOMPARE(catcher.titles, QStringList() << "Error");
        }
        QTRY_COMPARE_WITH_TIMEOUT(gui()->inputState, 0, 5000);
    }

    void directoryDialog() {
        const QString start = dir + "/start";
        const QString elsewhere = dir + "/elsewhere";
        QDir().mkpath(start);
        QDir().mkpath(elsewhere);
        app->saveDir->setPath(start);
        QStringList sideBar;
        bool dirsOnly = false;
        auto keep = std::make_unique<ModalCatcher>([&](QWidget *w) {
            auto *dialog = qobject_cast<QFileDialog *>(w);
            if (!dialog) return false;
            for (const QUrl &u : dialog->sidebarUrls())
                sideBar << u.toLocalFile();
            dirsOnly =
                dialog->testOption(QFileDialog::ShowDirsOnly) && dialog->fileMode() == QFileDialog::Directory;
            dialog->reject();
            return true;
        });
        app->ChangeDirSave();
        keep.reset();
        QCOMPARE(QDir(app->saveDir->path()).canonicalPath(), QDir(start).canonicalPath());
        QVERIFY(dirsOnly);
        QVERIFY(!sideBar.isEmpty());
        QCOMPARE(sideBar.last(), QString("/media"));

        // Cancelling after browsing moves the folder to where the dialog was.
        ModalCatcher browse([&](QWidget *w) {
            auto *dialog = qobject_cast<QFileDialog *>(w);
            if (!dialog) return false;
            dialog->setDirectory(elsewhere);
            dialog->reject();
            return true;
        });
        app->ChangeDirSave();
        QCOMPARE(QDir(app->saveDir->path()).canonicalPath(), QDir(elsewhere).canonicalPath());
    }

    void nothingHappensWithoutARunningSession() {
        app->reset();
        ModalCatcher catcher;
        app->SaveImage();
        app->SaveDepth();
        app->SavePointCloud();
        QTest::qWait(100);
        QCOMPARE(catcher.count(), 0);
    }
};

int main(int argc, char **argv) {
    AppTest::isolateUserDirs(QDir::tempPath() + "/vantaro-test-snap-" +
                             QString::number(QCoreApplication::applicationPid()));
    qunsetenv("VANTARO_VIRTUAL_CAMERA");
    TestSnapshots test;
    int appArgc = 1;
    MainProcess app(appArgc, argv);
    test.app = &app;
    return QTest::qExec(&test, argc, argv);
}

#include "test_snapshots.moc"
