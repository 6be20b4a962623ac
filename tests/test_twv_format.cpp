// The .twv recording: writer, reader and recording frame source, with truncated, corrupted and foreign files.
#include "TestSupport.h"

#include "twl/core/RecordingSource.h"
#include "twl/twv/TwvFormat.h"
#include "twl/twv/TwvFrameCodec.h"
#include "twl/twv/TwvReader.h"
#include "twl/twv/TwvWriter.h"
#include "twl/util/Crc32.h"

#include <QtTest>

#include <cerrno>

using namespace twl;

namespace {

const int kW = 64, kH = 48;
const uint64_t kT0 = 1000000000ull, kDt = 33333333ull;

// A smooth gradient shifted per frame: compresses like a real picture and tells frames apart.
cv::Mat gradient(int frame, int eye, int w = kW, int h = kH) {
    cv::Mat m(h, w, CV_8UC4);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            m.at<cv::Vec4b>(y, x) =
                cv::Vec4b(uchar((x * 3 + frame * 5) & 255), uchar((y * 4 + eye * 60) & 255),
                          uchar((x + y + frame * 3) & 255), 255);
    return m;
}

TwvHeader testHeader(int w = kW, int h = kH) {
    TwvHeader hd = TestSupport::twvHeader(w, h);
    hd.fx = 50.5f;
    hd.fy = 51.5f; // differs from fx, so that a swap shows
    return hd;
}

QString pathFor(const QString &name) {
    return TestSupport::dataDir() + "/" + name;
}

QByteArray writeRecording(const QString &path, int frames, TwvCodec codec = TwvCodec::Lossless) {
    TwvWriter writer;
    [&] {
        QCOMPARE(writer.open(path.toStdString(), testHeader(), codec), SUCCESS);
        for (int i = 0; i < frames; ++i)
            QCOMPARE(writer.writeFrame(gradient(i, 0), gradient(i, 1), kT0 + uint64_t(i) * kDt), SUCCESS);
        QCOMPARE(writer.close(), SUCCESS);
    }();
    return TestSupport::readFile(path);
}

unsigned char *at(QByteArray &b, qint64 offset) {
    return reinterpret_cast<unsigned char *>(b.data()) + offset;
}

quint64 indexOffset(QByteArray &file) {
    return twv::getU64(at(file, file.size() - qint64(twv::kTrailerSize)));
}
quint64 frameOffset(QByteArray &file, int k) {
    return twv::getU64(at(file, qint64(indexOffset(file) + twv::kIndexHeaderSize) + 8 * k));
}

/// Writes `bytes` to a scratch file and opens it.
ERROR_CODE openCode(const QByteArray &bytes, TwvReader *reader = nullptr) {
    QFile f(pathFor("bad.twv"));
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size())
        return ERROR_CODE_LAST;
    f.close();
    TwvReader own;
    return (reader ? *reader : own).open(pathFor("bad.twv").toStdString());
}

} // namespace

class TestTwvFormat : public QObject {
    Q_OBJECT
private slots:
    void roundTripBothCodecs() {
        for (TwvCodec codec : {TwvCodec::Lossless, TwvCodec::Jpeg}) {
            const QString path = pathFor(codec == TwvCodec::Jpeg ? "rt_jpeg.twv" : "rt_lossless.twv");
            writeRecording(path, 4, codec);
            TwvReader reader;
            QCOMPARE(reader.open(path.toStdString()), SUCCESS);
            QVERIFY(!reader.isRecovered() && reader.frameCount() == 4 && reader.header().codec == codec);
            QCOMPARE(reader.header().fy, 51.5f);
            cv::Mat l, r;
            for (int i = 3; i >= 0; --i) { // backwards: every frame is reachable directly
                uint64_t ts = 0;
                QCOMPARE(reader.readFrame(i, l, r, &ts), SUCCESS);
                QCOMPARE(ts, kT0 + uint64_t(i) * kDt);
                QCOMPARE(cv::mean(l)[3], 255.0);
                // JPEG: close, and the eyes are not swapped.
                const double tolerance = codec == TwvCodec::Lossless ? 0.0 : 3.0;
                QVERIFY(cv::norm(l, gradient(i, 0), cv::NORM_L1) / l.total() / 3 <= tolerance);
                QVERIFY(cv::norm(r, gradient(i, 1), cv::NORM_L1) / r.total() / 3 <= tolerance);
                QVERIFY(cv::norm(l, gradient(i, 1), cv::NORM_L1) / l.total() / 3 > 10.0);
            }
            QCOMPARE(reader.readFrame(4, l, r), ERROR_CODE_INVALID_ARGUMENT);
        }
    }

    void writerRejectsBadInputAndReportsFailedWrites() {
        TwvWriter writer;
        TwvHeader bad = testHeader();
        bad.width = 0;
        QCOMPARE(writer.open(pathFor("bad.twv").toStdString(), bad, TwvCodec::Jpeg),
                 ERROR_CODE_INVALID_ARGUMENT);
        QCOMPARE(writer.open(pathFor("sizes.twv").toStdString(), testHeader(), TwvCodec::Jpeg), SUCCESS);
        QCOMPARE(writer.writeFrame(gradient(0, 0, 32, 48), gradient(0, 1), 1), ERROR_CODE_INVALID_ARGUMENT);
        const cv::Mat grey(kH, kW, CV_8UC1, cv::Scalar(9));
        QCOMPARE(writer.writeFrame(grey, grey, 1), ERROR_CODE_INVALID_ARGUMENT);
        QCOMPARE(writer.close(), SUCCESS);
        QCOMPARE(writer.framesWritten(), 0);
        // A full disk: the header does not fit, so nothing is open to take frames, closing does not claim
        // success, and only a regular file would have been removed.
        if (!QFile::exists("/dev/full")) return;
        QCOMPARE(writer.open("/dev/full", testHeader(1024, 1024), TwvCodec::Lossless),
                 ERROR_CODE_WRITE_FAILED);
        QCOMPARE(writer.systemError(), ENOSPC);
        QVERIFY(!writer.isOpen() && QFile::exists("/dev/full"));
        cv::Mat noise(1024, 1024, CV_8UC4);
        cv::randu(noise, 0, 256);
        QVERIFY(writer.writeFrame(noise, noise, 1) != SUCCESS);
        QVERIFY(writer.close() != SUCCESS);
    }

    void playbackPositionsSeekingAndEndOfFile() {
        const QString path = pathFor("seek.twv");
        writeRecording(path, 6);
        ERROR_CODE err = ERROR_CODE_FAILURE;
        std::unique_ptr<FrameSource> src = openRecordingSource(path.toStdString(), &err);
        QVERIFY(err == SUCCESS && src && src->frameCount() == 6);
        StereoFrame f;
        const auto grabbed = [&] { return src->grab(f) == SUCCESS ? int((f.timestamp - kT0) / kDt) : -1; };
        QCOMPARE(grabbed(), 0);
        QCOMPARE(grabbed(), 1);
        src->setPosition(4);
        QCOMPARE(src->position(), 1); // only the next grab moves
        QCOMPARE(grabbed(), 4);
        QCOMPARE(src->position(), 4);
        src->setPosition(2); // backwards
        QCOMPARE(grabbed(), 2);
        src->setPosition(1000); // clamped to the last frame
        QCOMPARE(grabbed(), 5);
        const uint64_t lastTs = f.timestamp;
        QCOMPARE(src->grab(f), ERROR_CODE_END_OF_FILE);
        QCOMPARE(src->grab(f), ERROR_CODE_END_OF_FILE);
        QVERIFY(src->position() == 5 && f.timestamp == lastTs);
        src->setPosition(-3); // clamped to the first
        QCOMPARE(grabbed(), 0);
    }

    void truncatedRecordingsPlayTheirCompleteFrames() {
        QByteArray whole = writeRecording(pathFor("whole.twv"), 5);
        const qint64 idx = qint64(indexOffset(whole));
        const qint64 frame4 = qint64(frameOffset(whole, 4));
        const struct {
            qint64 size;
            int frames;
        } cuts[] = {
            {idx, 5},                      // after the last frame, no index
            {whole.size() - 1, 5},         // inside the trailer
            {idx - 10, 4},                 // in the middle of the last frame
            {frame4 + 20, 4},              // in the middle of a frame header
            {qint64(twv::kHeaderSize), 0}, // header only
        };
        for (const auto &cut : cuts) {
            TwvReader reader;
            QCOMPARE(openCode(whole.left(int(cut.size)), &reader), SUCCESS);
            QVERIFY(reader.isRecovered());
            QCOMPARE(reader.frameCount(), cut.frames);
            cv::Mat l, r;
            for (int i = 0; i < cut.frames; ++i) {
                QCOMPARE(reader.readFrame(i, l, r), SUCCESS);
                QCOMPARE(cv::norm(r, gradient(i, 1), cv::NORM_INF), 0.0);
            }
            ERROR_CODE err = SUCCESS;
            std::unique_ptr<FrameSource> src = openRecordingSource(pathFor("bad.twv").toStdString(), &err);
            QCOMPARE(err, cut.frames ? SUCCESS : ERROR_CODE_DAMAGED_RECORDING); // nothing to play
            QCOMPARE(bool(src), cut.frames > 0);
        }
        // Cut inside the header: no longer a usable recording.
        QCOMPARE(openCode(whole.left(60)), ERROR_CODE_DAMAGED_RECORDING);
    }

    void corruptHeadersAreRefused() {
        const QByteArray good = writeRecording(pathFor("hdr.twv"), 2);
        // Any single flipped header byte is caught.
        for (int i = 0; i < int(twv::kHeaderSize); ++i) {
            QByteArray b = good;
            b[i] = char(b[i] ^ 0x10);
            const ERROR_CODE code = openCode(b);
            if (i < 8)
                QCOMPARE(code, ERROR_CODE_NOT_A_RECORDING);
            else if (i < 12)
                QVERIFY(code == ERROR_CODE_UNSUPPORTED_VERSION || code == ERROR_CODE_DAMAGED_RECORDING);
            else
                QCOMPARE(code, ERROR_CODE_DAMAGED_RECORDING);
        }
        // Checksummed but absurd values.
        auto patched = [&](int offset, uint32_t value) {
            QByteArray b = good;
            twv::putU32(at(b, offset), value);
            twv::putU32(at(b, 124), crc32(at(b, 0), 124));
            return openCode(b);
        };
        QCOMPARE(patched(16, 100000), ERROR_CODE_DAMAGED_RECORDING);     // width
        QCOMPARE(patched(24, 0x7fc00000), ERROR_CODE_DAMAGED_RECORDING); // fps NaN
        QCOMPARE(patched(56, 0), ERROR_CODE_DAMAGED_RECORDING);          // baseline
        QCOMPARE(patched(8, 2), ERROR_CODE_UNSUPPORTED_VERSION);
        QCOMPARE(patched(8, 0), ERROR_CODE_DAMAGED_RECORDING);
    }

    void corruptIndexIsRefused() {
        QByteArray good = writeRecording(pathFor("idx.twv"), 3);
        const qint64 tail = good.size() - qint64(twv::kTrailerSize);
        const qint64 idx = qint64(indexOffset(good));
        for (qint64 flip : {idx + qint64(twv::kIndexHeaderSize) + 3, tail + 2}) { // an entry, the trailer
            QByteArray b = good;
            b[int(flip)] = char(b[int(flip)] ^ 1);
            QCOMPARE(openCode(b), ERROR_CODE_DAMAGED_RECORDING);
        }
        auto withTrailer = [&](uint64_t offset, uint64_t count) {
            QByteArray t = good;
            twv::encodeTrailer({offset, count}, at(t, tail));
            return openCode(t);
        };
        QCOMPARE(withTrailer(uint64_t(1) << 60, 3), ERROR_CODE_DAMAGED_RECORDING);
        QCOMPARE(withTrailer(uint64_t(idx), uint64_t(1) << 40), ERROR_CODE_DAMAGED_RECORDING);
        QCOMPARE(withTrailer(uint64_t(idx), 2), ERROR_CODE_DAMAGED_RECORDING);
        // Entries pointing outside the frames, re-signed so only the values are wrong.
        auto withEntry = [&](int k, uint64_t value) {
            QByteArray t = good;
            twv::putU64(at(t, idx + qint64(twv::kIndexHeaderSize) + 8 * k), value);
            const qint64 crcAt = tail - qint64(twv::kIndexFooterSize);
            twv::putU32(at(t, crcAt), crc32(at(t, idx), size_t(crcAt - idx)));
            return openCode(t);
        };
        QCOMPARE(withEntry(2, uint64_t(idx) - 4), ERROR_CODE_DAMAGED_RECORDING);
        QCOMPARE(withEntry(1, frameOffset(good, 0)), ERROR_CODE_DAMAGED_RECORDING); // not increasing
        QCOMPARE(withEntry(0, 8), ERROR_CODE_DAMAGED_RECORDING);                    // inside the header
    }

    void framesWhoseLengthsDoNotFitFailAlone() {
        QByteArray good = writeRecording(pathFor("frm.twv"), 4);
        const quint64 f1 = frameOffset(good, 1), f2 = frameOffset(good, 2);
        // With a valid header checksum.
        for (uint64_t length : {uint64_t(1) << 40, uint64_t(f2 - f1), uint64_t(0)}) {
            QByteArray b = good;
            twv::putU64(at(b, qint64(f1) + 16), length);
            twv::putU32(at(b, qint64(f1) + 36), crc32(at(b, qint64(f1)), 36));
            TwvReader reader;
            QCOMPARE(openCode(b, &reader), SUCCESS);
            cv::Mat l, r;
            QCOMPARE(reader.readFrame(1, l, r), ERROR_CODE_DAMAGED_RECORDING);
            QCOMPARE(reader.readFrame(2, l, r), SUCCESS);
            // Without the index, scanning stops at or right after the bad frame, which still fails.
            QCOMPARE(openCode(b.left(int(indexOffset(good))), &reader), SUCCESS);
            QVERIFY(reader.frameCount() == 1 || reader.frameCount() == 2);
            QCOMPARE(reader.readFrame(0, l, r), SUCCESS);
            if (reader.frameCount() == 2) QCOMPARE(reader.readFrame(1, l, r), ERROR_CODE_DAMAGED_RECORDING);
        }
    }

    void picturesThatLieAboutTheirSizeAreRefused() {
        // Well-formed records holding a picture of the wrong size: a JPEG claiming 60000 x 60000 must not
        // reach the decoder, a zstd stream of the wrong length must not be unpacked.
        TwvFrameCodec codec;
        std::vector<unsigned char> jpeg, zstd, zstdSmall;
        QVERIFY(codec.encode(gradient(0, 0), TwvCodec::Jpeg, jpeg));
        QVERIFY(codec.encode(gradient(0, 0), TwvCodec::Lossless, zstd));
        QVERIFY(codec.encode(gradient(0, 0, 32, 48), TwvCodec::Lossless, zstdSmall));
        uint32_t w = 0, h = 0;
        std::vector<unsigned char> hugeJpeg = jpeg;
        for (size_t i = 2; i + 9 < hugeJpeg.size(); ++i)
            if (hugeJpeg[i] == 0xFF && hugeJpeg[i + 1] == 0xC0) {
                hugeJpeg[i + 5] = hugeJpeg[i + 7] = 0xEA; // 0xEA60 = 60000
                hugeJpeg[i + 6] = hugeJpeg[i + 8] = 0x60;
                break;
            }
        QVERIFY(TwvFrameCodec::jpegSize(hugeJpeg.data(), hugeJpeg.size(), &w, &h) && w == 60000u);
        QVERIFY(!TwvFrameCodec::jpegSize(zstd.data(), zstd.size(), &w, &h));
        // A good lossless frame, then the liar in both eyes.
        const std::pair<const std::vector<unsigned char> *, TwvCodec> cases[] = {
            {&hugeJpeg, TwvCodec::Jpeg}, {&zstdSmall, TwvCodec::Lossless}, {&jpeg, TwvCodec::Lossless}};
        for (const auto &c : cases) {
            QByteArray bytes(int(twv::kHeaderSize), 0);
            twv::encodeHeader(testHeader(), at(bytes, 0));
            const std::vector<unsigned char> *const frames[] = {&zstd, c.first};
            for (const auto *frame : frames) {
                twv::FrameHeader fh;
                fh.codec = frame == &zstd ? TwvCodec::Lossless : c.second;
                fh.leftSize = fh.rightSize = frame->size();
                fh.payloadCrc = crc32(frame->data(), frame->size(), crc32(frame->data(), frame->size()));
                QByteArray rec(int(twv::kFrameHeaderSize), 0);
                twv::encodeFrameHeader(fh, at(rec, 0));
                const QByteArray blob(reinterpret_cast<const char *>(frame->data()), int(frame->size()));
                bytes += rec + blob + blob;
            }
            TwvReader reader;
            QCOMPARE(openCode(bytes, &reader), SUCCESS);
            QCOMPARE(reader.frameCount(), 2);
            cv::Mat l, r;
            QCOMPARE(reader.readFrame(0, l, r), SUCCESS);
            QCOMPARE(reader.readFrame(1, l, r), ERROR_CODE_DAMAGED_RECORDING);
        }
    }

    void emptyFilesAndFolders() {
        QCOMPARE(openCode(QByteArray()), ERROR_CODE_NOT_A_RECORDING);
        ERROR_CODE err = SUCCESS;
        QVERIFY(!openRecordingSource(pathFor("bad.twv").toStdString(), &err));
        QCOMPARE(err, ERROR_CODE_NOT_A_RECORDING);
        TwvReader reader;
        QCOMPARE(reader.open(TestSupport::dataDir().toStdString()), ERROR_CODE_FILE_NOT_FOUND); // a folder
        QVERIFY(!openRecordingSource("/no/such/file.twv", nullptr)); // a null error pointer is allowed
        // Properly closed but empty: readable, yet nothing to play.
        writeRecording(pathFor("noframes.twv"), 0);
        QCOMPARE(reader.open(pathFor("noframes.twv").toStdString()), SUCCESS);
        QCOMPARE(reader.frameCount(), 0);
        QVERIFY(!openRecordingSource(pathFor("noframes.twv").toStdString(), &err));
        QCOMPARE(err, ERROR_CODE_DAMAGED_RECORDING);
    }
};

QTEST_GUILESS_MAIN(TestTwvFormat)
#include "test_twv_format.moc"
