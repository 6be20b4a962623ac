// twv export, cut and the frame ranges of depth and cloud, run as a separate process: what the files hold.
#include "TestSupport.h"

#include "twl/mcap/Cdr.h"
#include "twl/mcap/McapReader.h"
#include "twl/twv/TwvReader.h"
#include "twl/twv/TwvWriter.h"

#include <QtTest>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>

using namespace twl;
using TestSupport::runTwv;

namespace {

constexpr int kW = 160, kH = 120, kFrames = 4;
constexpr uint64_t kStart = 1700000000123456789ull, kPeriod = 33333333ull;

/// Left picture: noise; right: the same scene 6 pixels over, so that with
/// f = 120 px and B = 0.1 m everything lies 2 m away.
void pair(int frame, cv::Mat *left, cv::Mat *right) {
    cv::Mat wide(kH, kW + 6, CV_8UC3);
    cv::setRNGSeed(frame + 1);
    cv::randu(wide, 0, 255);
    *left = wide(cv::Rect(0, 0, kW, kH)).clone();
    *right = wide(cv::Rect(6, 0, kW, kH)).clone();
}

QString recording(const QString &path, TwvCodec codec) {
    TwvHeader h = TestSupport::twvHeader(kW, kH);
    h.fx = h.fy = 120;
    h.baseline = 0.1f;
    TwvWriter writer;
    if (writer.open(path.toStdString(), h, codec) != SUCCESS) return QString();
    for (int i = 0; i < kFrames; ++i) {
        cv::Mat l, r;
        pair(i, &l, &r);
        if (writer.writeFrame(l, r, kStart + uint64_t(i) * kPeriod) != SUCCESS) return QString();
    }
    return writer.close() == SUCCESS ? path : QString();
}

/// The fields of an Image message up to its pixels.
struct Image {
    uint64_t stamp = 0;
    std::string frame, encoding;
    uint32_t width = 0, height = 0, step = 0;
    const unsigned char *data = nullptr;
};

Image image(const McapReader::Message *m) {
    CdrReader r(m->data.data(), m->data.size());
    Image i;
    i.stamp = uint64_t(r.i32()) * 1000000000ull;
    i.stamp += r.u32();
    i.frame = r.string();
    i.height = r.u32();
    i.width = r.u32();
    i.encoding = r.string();
    r.u8();
    i.step = r.u32();
    uint32_t size = 0;
    i.data = r.sequence(1, &size);
    return r.ok() && size == i.step * i.height && r.left() == 0 ? i : Image();
}

QStringList files(const QString &folder) {
    return QDir(folder).entryList(QDir::Files, QDir::Name);
}

} // namespace

class TestTwvExport : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    QString lossless, jpeg;

private slots:
    void initTestCase() {
        lossless = recording(dir.filePath("lossless.twv"), TwvCodec::Lossless);
        jpeg = recording(dir.filePath("jpeg.twv"), TwvCodec::Jpeg);
        QVERIFY(!lossless.isEmpty() && !jpeg.isEmpty());
    }

    void losslessRecordingExportsWithItsPixelsTimesDepthAndCloud() {
        const QString out = dir.filePath("all.mcap");
        const auto r = runTwv({"export", lossless, out, "--depth", "QUALITY", "--cloud"});
        QVERIFY2(r.exitCode == 0, qPrintable(r.err));
        QVERIFY(r.err.contains("\rexporting 4/4") && r.out.contains("4 frames (frames 0 to 3)"));
        QVERIFY(!QFile::exists(out + ".partial"));
        McapReader mcap;
        std::string error;
        QVERIFY2(mcap.open(out.toStdString(), &error), error.c_str());
        QCOMPARE(mcap.schemaOf("/vantaro/points")->name, std::string("sensor_msgs/msg/PointCloud2"));
        QCOMPARE(mcap.schemaOf("/vantaro/depth/image")->encoding, std::string("ros2msg"));

        for (int i = 0; i < kFrames; ++i) {
            const uint64_t stamp = kStart + uint64_t(i) * kPeriod;
            cv::Mat pictures[2];
            pair(i, &pictures[0], &pictures[1]);
            for (int eye = 0; eye < 2; ++eye) {
                const char *topic = eye ? "/vantaro/right/image_rect" : "/vantaro/left/image_rect";
                const McapReader::Message *m = mcap.messagesOn(topic).at(size_t(i));
                const Image got = image(m);
                QVERIFY(m->logTime == stamp && got.stamp == stamp); // seconds and nanoseconds split right
                QCOMPARE(got.frame,
                         std::string(eye ? "vantaro_right_optical_frame" : "vantaro_left_optical_frame"));
                QVERIFY(got.encoding == "bgr8" && got.width == kW && got.step == kW * 3);
                QVERIFY(std::memcmp(got.data, pictures[eye].data, kW * kH * 3) == 0); // lossless: every bit
            }
            // The right camera's projection carries the baseline.
            const McapReader::Message *info = mcap.messagesOn("/vantaro/right/camera_info").at(size_t(i));
            CdrReader c(info->data.data(), info->data.size());
            c.i32(), c.u32(), c.string(), c.u32(), c.u32(), c.string();
            uint32_t n = 0;
            c.sequence(8, &n);
            double k[9], rect[9], p[12];
            for (double *m : {k, rect, p})
                for (int j = 0; j < (m == p ? 12 : 9); ++j)
                    m[j] = c.f64();
            QVERIFY(c.ok() && k[0] == 120 && k[2] == 80 && k[5] == 60 && rect[4] == 1);
            QVERIFY(std::fabs(p[3] + 12.0) < 1e-5 && p[0] == 120 && p[10] == 1);

            const Image depth = image(mcap.messagesOn("/vantaro/depth/image").at(size_t(i)));
            QVERIFY(depth.encoding == "32FC1" && depth.stamp == stamp);
            const float *z = reinterpret_cast<const float *>(depth.data);
            std::vector<float> valid;
            for (int j = 0; j < kW * kH; ++j) {
                QVERIFY(std::isnan(z[j]) || z[j] > 0);
                if (z[j] > 0) valid.push_back(z[j]);
            }
            QVERIFY(valid.size() > size_t(kW * kH) / 2);
            std::nth_element(valid.begin(), valid.begin() + long(valid.size() / 2), valid.end());
            QVERIFY(std::fabs(valid[valid.size() / 2] - 2.0f) < 0.1f);

            // The cloud: the same depth, seen from the optical frame, coloured by the left picture.
            const McapReader::Message *points = mcap.messagesOn("/vantaro/points").at(size_t(i));
            const float *cloud = reinterpret_cast<const float *>(points->data.data() + points->data.size() -
                                                                 1 - size_t(kW * kH * 16));
            int checked = 0;
            for (int v = 0; v < kH; v += 7)
                for (int u = 0; u < kW; u += 5) {
                    const float *q = cloud + 4 * (v * kW + u);
                    uint32_t rgb;
                    std::memcpy(&rgb, q + 3, 4);
                    const cv::Vec3b bgr = pictures[0].at<cv::Vec3b>(v, u);
                    QCOMPARE(rgb, uint32_t(bgr[2]) << 16 | uint32_t(bgr[1]) << 8 | bgr[0]);
                    const float d = z[v * kW + u];
                    if (!(d > 0)) continue;
                    QCOMPARE(q[2], d);
                    QVERIFY(std::fabs(q[0] - (u - 80.0f) / 120 * d) < 1e-4f);
                    QVERIFY(std::fabs(q[1] - (v - 60.0f) / 120 * d) < 1e-4f); // y down
                    ++checked;
                }
            QVERIFY(checked > 100);
        }
    }

    void rangesExportExactlyTheFramesAskedFor() {
        const QString out = dir.filePath("middle.mcap");
        auto r = runTwv({"export", jpeg, out, "--from", "1", "--to", "2"});
        QVERIFY2(r.exitCode == 0, qPrintable(r.err));
        McapReader mcap;
        std::string error;
        QVERIFY2(mcap.open(out.toStdString(), &error), error.c_str());
        QCOMPARE(int(mcap.channels().size()), 4); // pictures and camera information only
        QCOMPARE(int(mcap.messages().size()), 8);
        const std::vector<const McapReader::Message *> left = mcap.messagesOn("/vantaro/left/image_rect");
        QVERIFY(left.size() == 2 && left[0]->logTime == kStart + kPeriod &&
                left[1]->logTime == kStart + 2 * kPeriod);

        const QString depths = dir.filePath("depths"), clouds = dir.filePath("clouds/all");
        r = runTwv({"depth", jpeg, "--frames", "1:2", "--out", depths, "--format", "pfm"});
        QVERIFY2(r.exitCode == 0, qPrintable(r.err));
        QVERIFY(r.out.contains("2 depth maps of frames 1 to 2") && r.err.contains("\rexporting 2/2"));
        QCOMPARE(files(depths), QStringList({"depth_000001.pfm", "depth_000002.pfm"}));
        r = runTwv({"cloud", jpeg, "--frames", "2:", "--out", depths});
        QVERIFY(r.exitCode == 0);
        QCOMPARE(files(depths), QStringList({"cloud_000002.ply", "cloud_000003.ply", "depth_000001.pfm",
                                             "depth_000002.pfm"}));
        r = runTwv({"cloud", jpeg, "--all", "--out", clouds, "--format", "xyz"});
        QVERIFY(r.exitCode == 0 && files(clouds).size() == kFrames &&
                files(clouds).first() == "cloud_000000.xyz");
        // The same frame's depth whether it came alone or in a range.
        r = runTwv({"depth", jpeg, "--frame", "2", "--out", dir.filePath("two.pfm")});
        QVERIFY(r.exitCode == 0);
        const QByteArray two = TestSupport::readFile(dir.filePath("two.pfm"));
        QVERIFY(!two.isEmpty() && two == TestSupport::readFile(depths + "/depth_000002.pfm"));

        r = runTwv({"depth", jpeg, "--frames", "3:9", "--out", depths});
        QVERIFY(r.exitCode == 1 &&
                r.err.contains("frame 9 does not exist; the recording has 4 frames (0 to 3)"));
        r = runTwv({"depth", jpeg, "--all", "--out", lossless}); // a file, not a folder
        QVERIFY(r.exitCode == 1 && r.err.contains("is a file"));
    }

    void cutCopiesTheFramesBytesAndLeavesDamagedOnesOut() {
        const QString out = dir.filePath("cut.twv");
        auto r = runTwv({"cut", jpeg, out, "--from", "1", "--to", "2"});
        QVERIFY2(r.exitCode == 0, qPrintable(r.err));
        QVERIFY(r.out.contains("2 frames, frames 1 to 2"));
        // The header, calibration included, byte for byte.
        QCOMPARE(TestSupport::readFile(out).left(128), TestSupport::readFile(jpeg).left(128));
        TwvReader from, to;
        QVERIFY(from.open(jpeg.toStdString()) == SUCCESS && to.open(out.toStdString()) == SUCCESS);
        QVERIFY(to.frameCount() == 2 && !to.isRecovered());
        for (int i = 0; i < 2; ++i) {
            twv::FrameHeader a, b;
            std::vector<unsigned char> was, is;
            QVERIFY(from.readEncodedFrame(i + 1, &a, &was) == SUCCESS &&
                    to.readEncodedFrame(i, &b, &is) == SUCCESS);
            QVERIFY(was == is && a.timestamp == b.timestamp && a.leftSize == b.leftSize &&
                    b.codec == TwvCodec::Jpeg);
        }

        // A frame whose bytes no longer match their checksum is not copied on.
        const QString damaged = dir.filePath("damaged.twv");
        QVERIFY(QFile::copy(jpeg, damaged));
        QVERIFY(TestSupport::damageFrames(damaged, {2}));
        r = runTwv({"cut", damaged, out});
        QVERIFY(r.exitCode == 1 && r.err.contains("damaged frames left out: 2"));
        QVERIFY(to.open(out.toStdString()) == SUCCESS && to.frameCount() == 3);
    }
};

QTEST_GUILESS_MAIN(TestTwvExport)
#include "test_twv_export.moc"
