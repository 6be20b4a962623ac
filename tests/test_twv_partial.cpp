// Recordings on disk: earlier versions' files still open, and twv record, import, export and cut never
// destroy a file.
#include "TestSupport.h"

#include "twl/twv/TwvReader.h"
#include "twl/twv/TwvWriter.h"

#include <QtTest>

#include <opencv2/imgcodecs.hpp>

using namespace twl;

namespace {} // namespace

class TestTwvPartial : public QObject {
    Q_OBJECT
private slots:
    // Written before the checksums came from zlib: every header, index and payload check must still agree.
    void earlyRecordingOpensAndEveryFrameDecodes() {
        const QString path = QFINDTESTDATA("data/early-v1.twv");
        QVERIFY(!path.isEmpty());
        TwvReader reader;
        QCOMPARE(int(reader.open(path.toStdString())), int(SUCCESS));
        QVERIFY(!reader.isRecovered()); // the index's check value matched
        QCOMPARE(reader.frameCount(), 3);
        for (int i = 0; i < reader.frameCount(); ++i) {
            cv::Mat left, right;
            QCOMPARE(int(reader.readFrame(i, left, right)), int(SUCCESS));
            QCOMPARE(right.size(), cv::Size(42, 24));
        }
    }

    void failedWritesLeaveTheTargetAlone() {
        QDir d(TestSupport::dataDir() + "/partial");
        d.removeRecursively();
        d.mkpath(".");
        const QString target = d.filePath("kept.twv");
        TwvWriter writer;
        QCOMPARE(writer.open(target.toStdString(), TestSupport::twvHeader(64, 48), TwvCodec::Jpeg), SUCCESS);
        const cv::Mat grey(48, 64, CV_8UC4, cv::Scalar(90, 120, 150, 255));
        QCOMPARE(writer.writeFrame(grey, grey, 1000), SUCCESS);
        QCOMPARE(writer.close(), SUCCESS);
        const QByteArray before = TestSupport::readFile(target);
        const QStringList record = {"record", target,     "--virtual", "--resolution", "VGA",     "--fps",
                                    "100",    "--frames", "8",         "--codec",      "lossless"};
        d.mkpath("left");
        d.mkpath("right");
        cv::Mat noise(240, 320, CV_8UC3);
        for (int i = 0; i < 3; ++i) {
            cv::randu(noise, 0, 255);
            QVERIFY(cv::imwrite(d.filePath(QString("left/%1.png").arg(i)).toStdString(), noise));
            QVERIFY(cv::imwrite(d.filePath(QString("right/%1.png").arg(i)).toStdString(), noise));
        }
        const QStringList import = {
            "import", target,       "--left", d.filePath("left"), "--right", d.filePath("right"), "--focal",
            "300",    "--baseline", "0.1",    "--codec",          "lossless"};
        // The disk fills up half-way: the old recording is still there, no debris beside it.
        for (const QStringList &command : {record, import}) {
            QCOMPARE(TestSupport::runTwv(command, 64).exitCode, 1);
            QCOMPARE(TestSupport::readFile(target), before);
            QVERIFY(!QFile::exists(target + ".partial"));
        }
        // Done properly, the new recording takes the name.
        QCOMPARE(TestSupport::runTwv(import).exitCode, 0);
        QVERIFY(!QFile::exists(target + ".partial"));
        TwvReader reader;
        QCOMPARE(reader.open(target.toStdString()), SUCCESS);
        QCOMPARE(reader.frameCount(), 3);
        // So do an export and a cut of it that fill the disk.
        const QString mcap = d.filePath("kept.mcap"), cut = d.filePath("cut.twv");
        QFile earlier(mcap);
        QVERIFY(QFile::copy(target, cut) && earlier.open(QIODevice::WriteOnly) &&
                earlier.write("an export") > 0);
        earlier.close();
        for (const QStringList &command :
             {QStringList{"export", target, mcap}, QStringList{"cut", target, cut, "--from", "1"}}) {
            const QByteArray kept = TestSupport::readFile(command[2]);
            QCOMPARE(TestSupport::runTwv(command, 64).exitCode, 1);
            QCOMPARE(TestSupport::readFile(command[2]), kept);
            QVERIFY(!QFile::exists(command[2] + ".partial"));
        }
        // A crash leaves the partial file, and it plays what it holds; a stop closes the recording properly.
        for (const bool crash : {true, false}) {
            QProcess p;
            p.start(TestSupport::twvTool(), {"record", target, "--virtual", "--resolution", "VGA", "--fps",
                                             "15", "--frames", "100000"});
            QByteArray progress;
            QTRY_VERIFY_WITH_TIMEOUT((progress += p.readAllStandardError()).contains("recording 3/"), 60000);
            crash ? p.kill() : p.terminate();
            QVERIFY(p.waitForFinished(20000));
            TwvReader kept, partial;
            QCOMPARE(kept.open(target.toStdString()), SUCCESS);
            QCOMPARE(partial.open((target + ".partial").toStdString()),
                     crash ? SUCCESS : ERROR_CODE_FILE_NOT_FOUND);
            if (crash) QVERIFY(kept.frameCount() == 3 && partial.isRecovered() && partial.frameCount() >= 2);
            if (!crash) QVERIFY(p.exitCode() == 0 && !kept.isRecovered() && kept.frameCount() >= 3);
        }
    }
};

QTEST_GUILESS_MAIN(TestTwvPartial)
#include "test_twv_partial.moc"
