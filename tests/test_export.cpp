// Depth maps and point clouds in every format: the bytes other programs read; failed writes leave nothing.
#include "TestSupport.h"
#include "twl/io/Export.h"

#include <QtTest>

#include <opencv2/imgcodecs.hpp>

#include <cmath>
#include <cstring>
#include <limits>

using namespace twl;
using TestSupport::readFile;

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();

QByteArray bodyAfter(const QByteArray &data, const QByteArray &marker) {
    const int at = data.indexOf(marker);
    return at < 0 ? QByteArray() : data.mid(at + marker.size());
}

// 3 x 2 depth map: two invalid pixels, values with millimetre detail.
void fillDepth(Mat &m) {
    const float values[6] = {0.5f, 1.2345f, kNaN, 7.25f, 0.0f, 30.0f};
    m.alloc(3, 2, MAT_TYPE_32F_C1, MEM_CPU);
    for (int i = 0; i < 6; ++i)
        m.setValue(size_t(i % 3), size_t(i / 3), Vector4<float>(values[i], 0, 0, 0));
}

} // namespace

class TestExport : public QObject {
    Q_OBJECT
    QTemporaryDir dir;

    std::string path(const char *name) { return dir.filePath(name).toStdString(); }

private slots:
    void depthPngHoldsMillimetresFromHostOrDevice() {
        Mat host, device;
        fillDepth(host);
        QCOMPARE(host.copyTo(device, MEM_CPU, MEM_GPU), SUCCESS);
        QVERIFY(device.getStepBytes(MEM_GPU) > 12); // read through its pitch
        for (Mat *m : {&host, &device}) {
            QVERIFY(saveDepthAs(*m, DEPTH_FORMAT_PNG, path("d.png"), 1000.0f));
            const cv::Mat png = cv::imread(path("d.png"), cv::IMREAD_UNCHANGED);
            QCOMPARE(png.type(), CV_16UC1);
            QCOMPARE(png.size(), cv::Size(3, 2));
            QList<int> samples;
            for (auto it = png.begin<uint16_t>(); it != png.end<uint16_t>(); ++it)
                samples << *it;
            QCOMPARE(samples, QList<int>({500, 1235, 0, 7250, 0, 30000})); // rounded; 0 for invalid
        }
    }

    void depthPgmAndPfmBytes() {
        // Plain header, big-endian samples, 0 for invalid depth and clamped at the top.
        Mat m(3, 1, MAT_TYPE_32F_C1, MEM_CPU);
        const float values[3] = {kNaN, 1.2345f, 90.0f};
        for (size_t x = 0; x < 3; ++x)
            m.setValue(x, 0, Vector4<float>(values[x], 0, 0, 0));
        QVERIFY(saveDepthAs(m, DEPTH_FORMAT_PGM, path("d.pgm"), 1000.0f));
        QCOMPARE(readFile(dir.filePath("d.pgm")), QByteArray("P5\n3 1\n65535\n\x00\x00\x04\xd3\xff\xff", 19));
        Mat rows; // PFM: little-endian floats
        fillDepth(rows);
        QVERIFY(saveDepthAs(rows, DEPTH_FORMAT_PFM, path("d.pfm"), 1.0f));
        const QByteArray data = readFile(dir.filePath("d.pfm"));
        QVERIFY(data.startsWith("Pf\n3 2\n-1.0\n"));
        const QByteArray body = bodyAfter(data, "-1.0\n");
        QCOMPARE(body.size(), 6 * 4);
        float f[6];
        std::memcpy(f, body.constData(), sizeof f);
        // The first stored row is the picture's bottom row.
        QCOMPARE(QList<float>({f[0], f[2], f[3], f[4]}), QList<float>({7.25f, 30.0f, 0.5f, 1.2345f}));
        QVERIFY(std::isnan(f[5]));
    }

    void pointCloudsKeepValidPointsAndColours() {
        uint32_t bits;
        Mat cloud(2, 2, MAT_TYPE_32F_C4, MEM_CPU);
        cloud.setValue(0, 0, Vector4<float>(0.3f, 0.4f, -1.2f, packColor(160, 64, 32)));
        cloud.setValue(1, 0, Vector4<float>(kNaN, kNaN, kNaN, packColor(1, 2, 3)));
        cloud.setValue(0, 1, Vector4<float>(-2.5f, 1.0f, -10.0f, packColor(255, 255, 255)));
        cloud.setValue(1, 1, Vector4<float>(1.0f, kNaN, -3.0f, packColor(9, 9, 9)));
        QVERIFY(savePointCloudAs(cloud, POINT_CLOUD_FORMAT_XYZ, path("c.xyz"), false));
        QCOMPARE(readFile(dir.filePath("c.xyz")), QByteArray("0.3 0.4 -1.2\n-2.5 1 -10\n"));
        QVERIFY(savePointCloudAs(cloud, POINT_CLOUD_FORMAT_PCD, path("c.pcd"), true));
        const QByteArray pcd = readFile(dir.filePath("c.pcd"));
        QVERIFY(pcd.contains("VERSION 0.7\nFIELDS x y z rgb\nSIZE 4 4 4 4\nTYPE F F F F\n"));
        QVERIFY(pcd.contains("WIDTH 2\nHEIGHT 1\n") && pcd.contains("POINTS 2\nDATA binary\n"));
        QByteArray body = bodyAfter(pcd, "DATA binary\n");
        QCOMPARE(body.size(), 2 * 16);
        float p[4];
        std::memcpy(p, body.constData(), 16);
        QCOMPARE(p[2], -1.2f);
        std::memcpy(&bits, body.constData() + 12, 4);
        QCOMPARE(bits, 0xa04020u); // PCL packs red high
        std::memcpy(&bits, body.constData() + 28, 4);
        QCOMPARE(bits, 0xffffffu);
        QVERIFY(savePointCloudAs(cloud, POINT_CLOUD_FORMAT_PLY, path("c.ply"), true));
        const QByteArray ply = readFile(dir.filePath("c.ply"));
        QVERIFY(ply.startsWith("ply\nformat binary_little_endian 1.0\n") &&
                ply.contains("element vertex 2\n"));
        QVERIFY(ply.contains("property uchar red\nproperty uchar green\nproperty uchar blue\nend_header\n"));
        body = bodyAfter(ply, "end_header\n");
        QCOMPARE(body.size(), 2 * 15);
        std::memcpy(p, body.constData() + 15, 12);
        QCOMPARE(p[0], -2.5f);
        QCOMPARE(body.mid(12, 3), QByteArray("\xa0\x40\x20"));
        QVERIFY(savePointCloudAs(cloud, POINT_CLOUD_FORMAT_VTK, path("c.vtk"), false));
        const QByteArray vtk = readFile(dir.filePath("c.vtk"));
        QVERIFY(vtk.startsWith("# vtk DataFile Version 3.0\n"));
        QVERIFY(vtk.contains("DATASET POLYDATA\nPOINTS 2 float\n0.3 0.4 -1.2\n-2.5 1 -10\n"));
        QVERIFY(vtk.contains("VERTICES 2 4\n1 0\n1 1\n"));
    }

    void failedWritesReportFalseAndLeaveNothing() {
        Mat m, empty, cloud(1, 1, MAT_TYPE_32F_C4, MEM_CPU);
        fillDepth(m);
        QVERIFY(QFile(dir.filePath("file")).open(QIODevice::WriteOnly));
        QVERIFY(!saveDepthAs(m, DEPTH_FORMAT_PNG, path("missing/d.png"), 1000.0f));
        QVERIFY(!saveDepthAs(m, DEPTH_FORMAT_PGM, path("file/d.pgm"), 1000.0f));
        QVERIFY(!savePointCloudAs(cloud, POINT_CLOUD_FORMAT_PLY, path("missing/c.ply"), true));
        QVERIFY(!saveDepthAs(cloud, DEPTH_FORMAT_PNG, path("wrongtype.png"), 1.0f));
        QVERIFY(!savePointCloudAs(empty, POINT_CLOUD_FORMAT_XYZ, path("empty.xyz"), false));
        // No temporary leftovers next to the files that were written.
        const QStringList names = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden);
        QVERIFY2(!names.contains("wrongtype.png") && !(' ' + names.join(' ')).contains(" ."),
                 qPrintable(names.join(' ')));
    }
};

QTEST_GUILESS_MAIN(TestExport)
#include "test_export.moc"
