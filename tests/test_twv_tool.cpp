// The twv command-line tool, run as a separate process: exit codes, messages and the files it makes.
#include "TestSupport.h"

#include "twl/twv/TwvReader.h"
#include "twl/twv/TwvWriter.h"

#include <QtTest>

#include <QImage>

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cmath>

using namespace twl;
using TestSupport::runTwv;

namespace {

QString dir(const QString &name) {
    QDir d(TestSupport::dataDir() + "/tool_" + name);
    d.removeRecursively();
    d.mkpath(".");
    return d.path();
}

// A textured picture shifted by `disparity` pixels, so that a pair has depth everywhere.
QImage textured(int w, int h, int frame, int disparity) {
    QImage img(w, h, QImage::Format_RGB888);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int u = x + disparity;
            const int v = (u * 37 + y * 101 + ((u / 3) ^ (y / 3)) * 53 + frame * 11) & 255;
            img.setPixel(x, y, qRgb(v, (v * 3 + y) & 255, (255 - v + u) & 255));
        }
    return img;
}

// Pairs in the folders `left` and `right` under `d`.
void makePairs(const QString &d, int count, int w, int h, const QString &left = "L",
               const QString &right = "R") {
    QDir(d).mkpath(left);
    QDir(d).mkpath(right);
    for (int i = 0; i < count; ++i) {
        const QString name = QString("/img_%1.png").arg(i, 2, 10, QChar('0'));
        QVERIFY(textured(w, h, i, 0).save(d + "/" + left + name));
        QVERIFY(textured(w, h, i, 6).save(d + "/" + right + name));
    }
}

} // namespace

class TestTwvTool : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY2(QFileInfo(TestSupport::twvTool()).isExecutable(), "twv tool not built"); }

    void commandLineMistakesAreUsageErrors() {
        TestSupport::ToolRun r = runTwv({});
        QVERIFY(r.exitCode == 2 && r.err.contains("usage: twv"));
        r = runTwv({"--help"});
        QVERIFY(r.exitCode == 0 && r.out.contains("twv import"));
        const QString d = dir("usage");
        const QList<QPair<QStringList, QString>> cases = {
            {{"frobnicate"}, "unknown command 'frobnicate'"},
            {{"info", "a.twv", "b.twv"}, "one file only"},
            {{"import", d + "/x.twv", "--left", d, "--right", d, "--focal", "700", "--baseline", "-1"},
             "--baseline"},
            {{"record", d + "/x.twv", "--virtual", "--resolution", "HD2K", "--fps", "60"}, "not available"},
            {{"record", d + "/x.twv", "--virtual", "--fps"}, "--fps needs a value"},
            {{"depth", d + "/x.twv", "--frame", "-1", "--out", d + "/d.png"}, "--frame"},
            {{"cloud", d + "/x.twv", "--frame", "0", "--out", d + "/c.obj"}, ".xyz, .pcd, .ply or .vtk"},
            {{"depth", d + "/x.twv", "--frames", "2:1", "--out", d}, "ends before it begins"},
            {{"cloud", d + "/x.twv", "--frame", "1", "--frames", "1:2", "--out", d}, "or a range"},
            {{"export", d + "/x.twv", d + "/x.bag"}, "must end in .mcap"},
            {{"export", d + "/x.twv", d + "/x.mcap", "--sensing", "fill"}, "--sensing goes with"},
            {{"cut", d + "/x.twv", "--from", "1"}, "twv cut IN.twv OUT.twv"},
        };
        for (const auto &c : cases) {
            r = runTwv(c.first);
            QVERIFY2(r.exitCode == 2, qPrintable(c.first.join(' ') + " -> " + QString::number(r.exitCode)));
            QVERIFY2(r.err.startsWith("twv: ") && r.err.contains(c.second), qPrintable(r.err));
            QCOMPARE(r.err.count('\n'), 1); // one clear line
        }
        QVERIFY(!QFile::exists(d + "/x.twv")); // nothing was made
    }

    void infoShowsHeaderFramesAndDuration() {
        const QString d = dir("info");
        const QString path = d + "/ten.twv", open = d + "/open.twv";
        TwvWriter writer;
        QCOMPARE(writer.open(path.toStdString(), TestSupport::twvHeader(64, 48), TwvCodec::Jpeg), SUCCESS);
        const cv::Mat grey(48, 64, CV_8UC4, cv::Scalar(90, 120, 150, 255));
        for (int i = 0; i < 10; ++i)
            QCOMPARE(writer.writeFrame(grey, grey, 5000000000ull + uint64_t(i) * 33333333ull), SUCCESS);
        QCOMPARE(writer.close(), SUCCESS);
        TestSupport::ToolRun r = runTwv({"info", path});
        QVERIFY2(r.exitCode == 0 && r.err.isEmpty(), qPrintable(r.err));
        QVERIFY(r.out.contains("64x48") && r.out.contains("frames:        10\n"));
        QVERIFY2(r.out.contains("duration:      0.333 s"), qPrintable(r.out)); // 10 frames at 30 fps
        QVERIFY(!r.out.contains("not closed properly"));
        // A recording that was never closed (no index and trailer) still tells what it has.
        QVERIFY(QFile::copy(path, open) &&
                QFile::resize(open, QFileInfo(path).size() - (16 + 10 * 8 + 8) - 32));
        r = runTwv({"info", open});
        QVERIFY(r.exitCode == 0 && r.out.contains("frames:        10\n") &&
                r.out.contains("not closed properly"));
        QVERIFY(textured(8, 8, 0, 0).save(d + "/picture.twv", "PNG"));
        QFile damaged(d + "/damaged.twv");
        QVERIFY(QFile::copy(path, damaged.fileName()) && damaged.open(QIODevice::ReadWrite));
        QVERIFY(damaged.seek(20) && damaged.write("\x7f", 1) == 1);
        damaged.close();
        const QList<QPair<QString, QString>> bad = {{d + "/missing.twv", "no such file"},
                                                    {d + "/picture.twv", "not a .twv recording"},
                                                    {damaged.fileName(), "damaged"}};
        for (const auto &b : bad) {
            r = runTwv({"info", b.first});
            QVERIFY2(r.exitCode == 1 && r.out.isEmpty(), qPrintable(r.out));
            QVERIFY2(r.err.startsWith("twv: " + b.first + ": ") && r.err.contains(b.second),
                     qPrintable(r.err));
        }
    }

    void importedPairsGiveARecordingWithDepthAndCloud() {
        // A flat textured scene 6 pixels apart: with f = 120 px and B = 0.1 m everything lies at 2 m.
        const QString d = dir("import");
        makePairs(d, 3, 160, 120);
        QFile(d + "/L/notes.txt").open(QIODevice::WriteOnly); // not an image: ignored
        const QString rec = d + "/pairs.twv";
        TestSupport::ToolRun r = runTwv({"import", rec, "--left", d + "/L", "--right", d + "/R", "--focal",
                                         "120", "--baseline", "0.1", "--fps", "10", "--codec", "lossless"});
        QVERIFY2(r.exitCode == 0, qPrintable(r.err));
        QVERIFY(r.err.contains("\rimporting 3/3"));
        TwvReader reader;
        QCOMPARE(reader.open(rec.toStdString()), SUCCESS);
        QCOMPARE(reader.frameCount(), 3);
        const TwvHeader &h = reader.header();
        QVERIFY(h.width == 160u && h.fps == 10.f);
        QCOMPARE(h.cx, 79.5f); // the middle of the picture
        QVERIFY(std::fabs(h.vFov - 2 * std::atan(0.5) * 180 / M_PI) < 1e-3);
        cv::Mat left, right;
        uint64_t ts = 0;
        QCOMPARE(reader.readFrame(2, left, right, &ts), SUCCESS);
        QCOMPARE(ts, 300000000ull); // one tenth of a second apart
        // Lossless: the right picture comes back bit for bit, in BGRA.
        const QImage want = textured(160, 120, 2, 6).convertToFormat(QImage::Format_ARGB32);
        const cv::Mat wanted(120, 160, CV_8UC4, const_cast<uchar *>(want.constBits()),
                             size_t(want.bytesPerLine()));
        QCOMPARE(cv::norm(right, wanted, cv::NORM_INF), 0.0);
        r = runTwv({"depth", rec, "--frame", "1", "--out", d + "/depth.png"});
        QVERIFY2(r.exitCode == 0, qPrintable(r.err));
        cv::Mat png = cv::imread((d + "/depth.png").toStdString(), cv::IMREAD_UNCHANGED);
        QVERIFY(png.type() == CV_16UC1 && png.size() == cv::Size(160, 120));
        std::vector<uint16_t> mm;
        for (int y = 20; y < 100; ++y)
            for (int x = 30; x < 130; ++x)
                if (png.at<uint16_t>(y, x) > 0) mm.push_back(png.at<uint16_t>(y, x));
        QVERIFY(mm.size() > 4000);
        std::nth_element(mm.begin(), mm.begin() + long(mm.size() / 2), mm.end());
        QVERIFY2(std::abs(int(mm[mm.size() / 2]) - 2000) < 200,
                 qPrintable(QString::number(mm[mm.size() / 2])));
        // The format follows the name; how each one is encoded is the export test's business.
        r = runTwv({"cloud", rec, "--frame", "0", "--out", d + "/cloud.ply"});
        QVERIFY2(r.exitCode == 0, qPrintable(r.err));
        const QByteArray head = TestSupport::readFile(d + "/cloud.ply").left(400);
        QVERIFY(head.startsWith("ply\n") && head.contains("property uchar red")); // PLY goes with colour
        QVERIFY(!head.contains("element vertex 0\n"));
        r = runTwv({"cloud", rec, "--frame", "3", "--out", d + "/late.pcd"});
        QVERIFY(r.exitCode == 1 && r.err.contains("frame 3 does not exist; the recording has 3 frames"));
        QVERIFY(!QFile::exists(d + "/late.pcd"));
        r = runTwv({"depth", rec, "--frame", "0", "--out", d + "/no-such-dir/depth.png"});
        QVERIFY(r.exitCode == 1 && r.err.contains("could not write"));
        // Single files make a one-frame recording, by default with JPEG.
        r = runTwv({"import", d + "/one.twv", "--left", d + "/L/img_00.png", "--right", d + "/R/img_00.png",
                    "--focal", "100", "--baseline", "0.1"});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(reader.open((d + "/one.twv").toStdString()), SUCCESS);
        QVERIFY(reader.frameCount() == 1 && reader.header().codec == TwvCodec::Jpeg);
    }

    void importRefusesPairsThatDoNotMatch() {
        const QString d = dir("import_bad");
        makePairs(d, 3, 40, 30);
        makePairs(d, 2, 40, 30, "R2", "R3");
        const QString out = d + "/out.twv";
        auto import = [&](const QString &left, const QString &right) {
            return runTwv(
                {"import", out, "--left", left, "--right", right, "--focal", "50", "--baseline", "0.1"});
        };
        TestSupport::ToolRun r = import(d + "/L", d + "/R2");
        QVERIFY2(r.exitCode == 1 && r.err.contains("3 left images but 2 right images"), qPrintable(r.err));
        QVERIFY(textured(40, 32, 2, 0).save(d + "/R3/img_02.png")); // third right image is bigger
        QFile garbage(d + "/R2/img_02.png");
        QVERIFY(garbage.open(QIODevice::WriteOnly) && garbage.write("this is not a picture") > 0);
        garbage.close();
        r = import(d + "/L", d + "/R3");
        QVERIFY2(r.exitCode == 1 && r.err.contains("img_02.png is 40x32 but the first image is 40x30"),
                 qPrintable(r.err));
        QVERIFY(r.err.endsWith("same size\n"));
        QVERIFY(!QFile::exists(out)); // no half-made recording left behind
        r = import(d + "/L", d + "/R2");
        QVERIFY2(r.exitCode == 1 && r.err.contains("cannot read the image") &&
                     r.err.contains("R2/img_02.png"),
                 qPrintable(r.err));
        QVERIFY(!QFile::exists(out));
        r = import(d + "/nowhere", d + "/R");
        QVERIFY(r.exitCode == 1 && r.err.contains("no such file or folder"));
        QDir(d).mkpath("empty");
        r = import(d + "/empty", d + "/R");
        QVERIFY(r.exitCode == 1 && r.err.contains("no images in the left folder"));
        r = runTwv({"import", d + "/no-such-dir/out.twv", "--left", d + "/L", "--right", d + "/R", "--focal",
                    "50", "--baseline", "0.1"});
        QVERIFY(r.exitCode == 1 && r.err.contains("cannot create"));
    }

    void recordFromTheVirtualCamera() {
        const QString d = dir("record");
        qunsetenv("VANTARO_VIRTUAL_CAMERA"); // --virtual switches the camera on by itself
        TestSupport::ToolRun r = runTwv({"record", d + "/rec.twv", "--virtual", "--resolution", "VGA",
                                         "--fps", "100", "--frames", "6", "--codec", "lossless"});
        QVERIFY2(r.exitCode == 0, qPrintable(r.err));
        QVERIFY(r.err.contains("\rrecording 6/6"));
        TwvReader reader;
        QCOMPARE(reader.open((d + "/rec.twv").toStdString()), SUCCESS);
        QVERIFY(!reader.isRecovered() && reader.frameCount() == 6);
        QVERIFY(reader.header().width == 672u && reader.header().fps == 100.f);
        for (uint64_t i = 0, ts = 0, previous = 0; i < 6; ++i, previous = ts) {
            QCOMPARE(reader.readTimestamp(int(i), &ts), SUCCESS);
            QVERIFY(ts > previous);
        }
        // A camera on a slow port cannot stream HD720.
        qputenv("VANTARO_VIRTUAL_CAMERA", "usb2");
        r = runTwv({"record", d + "/usb2.twv", "--virtual", "--frames", "2"});
        qunsetenv("VANTARO_VIRTUAL_CAMERA");
        QVERIFY2(r.exitCode == 1 && r.err.contains("cannot open the virtual camera"), qPrintable(r.err));
    }
};

QTEST_GUILESS_MAIN(TestTwvTool)
#include "test_twv_tool.moc"
