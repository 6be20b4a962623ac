// Files made by earlier versions still open, and our exports keep the exact bytes other programs read.
#include "twl/Export.h"
#include "twl/TwvReader.h"

#include <QtTest>

#include <limits>

using namespace twl;

class TestFileCompat : public QObject {
    Q_OBJECT

private slots:
    // Written before the checksums came from zlib: every header, index and
    // payload check must still agree, so each frame decodes.
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

    // 16-bit PGM: plain header, big-endian samples, 0 for invalid depth and
    // clamped at the top.
    void depthPgmBytes() {
        QTemporaryDir dir;
        Mat m;
        m.alloc(3, 1, MAT_TYPE_32F_C1, MEM_CPU);
        const float values[3] = {std::numeric_limits<float>::quiet_NaN(), 1.2345f, 90.0f};
        for (size_t x = 0; x < 3; ++x)
            m.setValue(x, 0, Vector4<float>(values[x], 0, 0, 0));
        const QString path = dir.filePath("d.pgm");
        QVERIFY(saveDepthAs(m, DEPTH_FORMAT_PGM, path.toStdString(), 1000.0f));
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("P5\n3 1\n65535\n\x00\x00\x04\xd3\xff\xff", 19));
    }
};

QTEST_GUILESS_MAIN(TestFileCompat)
#include "test_file_compat.moc"
