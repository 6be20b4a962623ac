// Depth maps and point clouds written in every format and read back.
#include "twl/Export.h"

#include <QtTest>

#include <opencv2/imgcodecs.hpp>

#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>

using namespace twl;

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();

QByteArray readAll(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

/// Splits "header ... end-marker\n" from the binary body.
QByteArray bodyAfter(const QByteArray &data, const QByteArray &marker) {
    int at = data.indexOf(marker);
    return at < 0 ? QByteArray() : data.mid(at + marker.size());
}

// 3 x 2 depth map: two invalid pixels, values with millimetre detail.
void fillDepth(Mat &m) {
    const float values[6] = {0.5f, 1.2345f, kNaN, 7.25f, 0.0f, 30.0f};
    m.alloc(3, 2, MAT_TYPE_32F_C1, MEM_CPU);
    for (int i = 0; i < 6; ++i)
        m.setValue(size_t(i % 3), size_t(i / 3), Vector4<float>(values[i], 0, 0, 0));
}

float depthAt(const Mat &m, int x, int y) {
    float v;
    m.getValue(size_t(x), size_t(y), &v);
    return v;
}

} // namespace

class TestExport : public QObject {
    Q_OBJECT
    QTemporaryDir dir;

    QString path(const char *name) { return dir.filePath(name); }

private slots:
    void colourWordPacksRedLow() {
        unsigned char r, g, b;
        float w = packColor(160, 64, 32);
        uint32_t bits;
        std::memcpy(&bits, &w, 4);
        QCOMPARE(bits & 0xffffffu, 0x2040a0u);
        unpackColor(w, &r, &g, &b);
        QCOMPARE(int(r), 160);
        QCOMPARE(int(g), 64);
        QCOMPARE(int(b), 32);
    }

    void depthPngHoldsMillimetres() {
        Mat m;
        fillDepth(m);
        QVERIFY(saveDepthAs(m, DEPTH_FORMAT_PNG, path("d.png").toStdString(), 1000.0f));
        cv::Mat png = cv::imread(path("d.png").toStdString(), cv::IMREAD_UNCHANGED);
        QCOMPARE(png.type(), CV_16UC1);
        QCOMPARE(png.cols, 3);
        QCOMPARE(int(png.at<uint16_t>(0, 0)), 500);
        QCOMPARE(int(png.at<uint16_t>(0, 1)), 1235); // rounded, not truncated
        QCOMPARE(int(png.at<uint16_t>(0, 2)), 0);    // invalid
        QCOMPARE(int(png.at<uint16_t>(1, 0)), 7250);
        QCOMPARE(int(png.at<uint16_t>(1, 1)), 0);
        QCOMPARE(int(png.at<uint16_t>(1, 2)), 30000);
    }

    void depthPfmIsBottomUpLittleEndianFloats() {
        Mat m;
        fillDepth(m);
        QVERIFY(saveDepthAs(m, DEPTH_FORMAT_PFM, path("d.pfm").toStdString(), 1.0f));
        QByteArray data = readAll(path("d.pfm"));
        QVERIFY(data.startsWith("Pf\n3 2\n-1.0\n"));
        QByteArray body = bodyAfter(data, "-1.0\n");
        QCOMPARE(body.size(), 6 * 4);
        float f[6];
        std::memcpy(f, body.constData(), sizeof f);
        // First stored row is the bottom row of the picture.
        QCOMPARE(f[0], 7.25f);
        QCOMPARE(f[2], 30.0f);
        QCOMPARE(f[3], 0.5f);
        QCOMPARE(f[4], 1.2345f);
        QVERIFY(std::isnan(f[5]));
    }

    void depthPgmIsBigEndianSixteenBit() {
        Mat m;
        fillDepth(m);
        QVERIFY(saveDepthAs(m, DEPTH_FORMAT_PGM, path("d.pgm").toStdString(), 1000.0f));
        cv::Mat pgm = cv::imread(path("d.pgm").toStdString(), cv::IMREAD_UNCHANGED);
        QCOMPARE(pgm.type(), CV_16UC1);
        QCOMPARE(int(pgm.at<uint16_t>(0, 1)), 1235);
        QCOMPARE(int(pgm.at<uint16_t>(1, 2)), 30000);
        QCOMPARE(int(pgm.at<uint16_t>(0, 2)), 0);
    }

    void deviceOnlyDepthIsReadThroughItsPitch() {
        Mat host;
        fillDepth(host);
        Mat device;
        QCOMPARE(host.copyTo(device, MEM_CPU, MEM_GPU), SUCCESS);
        QVERIFY(device.getStepBytes(MEM_GPU) > 12);
        QVERIFY(saveDepthAs(device, DEPTH_FORMAT_PNG, path("g.png").toStdString(), 1000.0f));
        cv::Mat png = cv::imread(path("g.png").toStdString(), cv::IMREAD_UNCHANGED);
        QCOMPARE(int(png.at<uint16_t>(1, 0)), 7250);
        QCOMPARE(depthAt(host, 0, 1), 7.25f);
    }

    void pointCloudsKeepValidPointsAndColours() {
        Mat cloud(2, 2, MAT_TYPE_32F_C4, MEM_CPU);
        cloud.setValue(0, 0, Vector4<float>(0.3f, 0.4f, -1.2f, packColor(160, 64, 32)));
        cloud.setValue(1, 0, Vector4<float>(kNaN, kNaN, kNaN, packColor(1, 2, 3)));
        cloud.setValue(0, 1, Vector4<float>(-2.5f, 1.0f, -10.0f, packColor(255, 255, 255)));
        cloud.setValue(1, 1, Vector4<float>(1.0f, kNaN, -3.0f, packColor(9, 9, 9)));

        QVERIFY(savePointCloudAs(cloud, POINT_CLOUD_FORMAT_XYZ, path("c.xyz").toStdString(), false));
        QCOMPARE(readAll(path("c.xyz")), QByteArray("0.3 0.4 -1.2\n-2.5 1 -10\n"));

        QVERIFY(savePointCloudAs(cloud, POINT_CLOUD_FORMAT_PCD, path("c.pcd").toStdString(), true));
        QByteArray pcd = readAll(path("c.pcd"));
        QVERIFY(pcd.contains("VERSION 0.7\nFIELDS x y z rgb\nSIZE 4 4 4 4\nTYPE F F F F\n"));
        QVERIFY(pcd.contains("WIDTH 2\nHEIGHT 1\n"));
        QVERIFY(pcd.contains("POINTS 2\nDATA binary\n"));
        QByteArray body = bodyAfter(pcd, "DATA binary\n");
        QCOMPARE(body.size(), 2 * 16);
        float p[4];
        uint32_t rgb;
        std::memcpy(p, body.constData(), 12);
        std::memcpy(&rgb, body.constData() + 12, 4);
        QCOMPARE(p[2], -1.2f);
        QCOMPARE(rgb, 0xa04020u); // PCL packs red high
        std::memcpy(&rgb, body.constData() + 28, 4);
        QCOMPARE(rgb, 0xffffffu);

        QVERIFY(savePointCloudAs(cloud, POINT_CLOUD_FORMAT_PLY, path("c.ply").toStdString(), true));
        QByteArray ply = readAll(path("c.ply"));
        QVERIFY(ply.startsWith("ply\nformat binary_little_endian 1.0\n"));
        QVERIFY(ply.contains("element vertex 2\n"));
        QVERIFY(ply.contains("property uchar red\nproperty uchar green\nproperty uchar blue\nend_header\n"));
        body = bodyAfter(ply, "end_header\n");
        QCOMPARE(body.size(), 2 * 15);
        std::memcpy(p, body.constData() + 15, 12);
        QCOMPARE(p[0], -2.5f);
        QCOMPARE(int(uchar(body[12])), 160);
        QCOMPARE(int(uchar(body[13])), 64);
        QCOMPARE(int(uchar(body[14])), 32);

        QVERIFY(savePointCloudAs(cloud, POINT_CLOUD_FORMAT_VTK, path("c.vtk").toStdString(), false));
        QByteArray vtk = readAll(path("c.vtk"));
        QVERIFY(vtk.startsWith("# vtk DataFile Version 3.0\n"));
        QVERIFY(vtk.contains("DATASET POLYDATA\nPOINTS 2 float\n0.3 0.4 -1.2\n-2.5 1 -10\n"));
        QVERIFY(vtk.contains("VERTICES 2 4\n1 0\n1 1\n"));
    }

    void failedWritesReportFalseAndLeaveNothing() {
        Mat m;
        fillDepth(m);
        QVERIFY(!saveDepthAs(m, DEPTH_FORMAT_PNG, path("missing/d.png").toStdString(), 1000.0f));
        QFile blocker(path("file"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        QVERIFY(!saveDepthAs(m, DEPTH_FORMAT_PGM, path("file/d.pgm").toStdString(), 1000.0f));
        Mat cloud(1, 1, MAT_TYPE_32F_C4, MEM_CPU);
        QVERIFY(!savePointCloudAs(cloud, POINT_CLOUD_FORMAT_PLY, path("missing/c.ply").toStdString(), true));
        QVERIFY(!saveDepthAs(cloud, DEPTH_FORMAT_PNG, path("wrongtype.png").toStdString(), 1.0f));
        Mat empty;
        QVERIFY(!savePointCloudAs(empty, POINT_CLOUD_FORMAT_XYZ, path("empty.xyz").toStdString(), false));
        QVERIFY(!QFile::exists(path("wrongtype.png")));
        // No temporary leftovers next to the files that were written.
        QDir d(dir.path());
        for (const QString &name : d.entryList(QDir::Files | QDir::Hidden))
            QVERIFY2(!name.startsWith('.'), qPrintable(name));
    }
};

QTEST_GUILESS_MAIN(TestExport)
#include "test_export.moc"
