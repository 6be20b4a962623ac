// Matrices on host and device (row pitch, copies) and the device-memory pool running out.
#include "twl/core/DeviceMemory.h"
#include "twl/core/Mat.h"

#include <QtTest>

using namespace twl;

class TestMemory : public QObject {
    Q_OBJECT
private slots:
    void devicePitchIsPaddedAndHonoured() {
        Mat m(101, 7, MAT_TYPE_8U_C4, MEM_BOTH);
        QCOMPARE(m.getStepBytes(MEM_CPU), size_t(404));
        QVERIFY(m.getStepBytes(MEM_GPU) > size_t(404));
        for (size_t y = 0; y < 7; ++y)
            for (size_t x = 0; x < 101; ++x)
                m.setValue(x, y, Vector4<float>(float(x % 256), float(y), 7, 255), MEM_CPU);
        QCOMPARE(m.updateGPUfromCPU(), SUCCESS);
        // The last pixel of each row lands at row * pitch, not row * width.
        const uchar *g = m.getPtr<uchar>(MEM_GPU);
        for (size_t y = 0; y < 7; ++y) {
            QCOMPARE(int(g[y * m.getStepBytes(MEM_GPU) + 100 * 4]), 100);
            QCOMPARE(int(g[y * m.getStepBytes(MEM_GPU) + 100 * 4 + 1]), int(y));
        }
        Vector4<float> v;
        QCOMPARE(m.getValue(101, 0, &v, MEM_GPU), ERROR_CODE_INVALID_ARGUMENT);
    }

    void poolExhaustionIsReportedAndRecovers() {
        size_t freeBefore = 0, total = 0;
        deviceMemGetInfo(&freeBefore, &total);
        deviceSetCapacity(total - freeBefore + 4 * 1024 * 1024); // 4 MiB left
        {
            Mat fits(1024, 512, MAT_TYPE_8U_C4, MEM_GPU); // 2 MiB
            QVERIFY(fits.getPtr<uchar>(MEM_GPU) != nullptr);
            Mat tooBig;
            QCOMPARE(tooBig.alloc(2048, 1024, MAT_TYPE_8U_C4, MEM_GPU), ERROR_CODE_NOT_ENOUGH_DEVICE_MEMORY);
            QVERIFY(tooBig.getPtr<uchar>(MEM_GPU) == nullptr);
            QCOMPARE(deviceGetLastError(), ERROR_CODE_NOT_ENOUGH_DEVICE_MEMORY);
            QCOMPARE(deviceGetLastError(), SUCCESS); // read once, then cleared
        }
        size_t freeAfter = 0;
        deviceMemGetInfo(&freeAfter, nullptr);
        QCOMPARE(freeAfter, size_t(4 * 1024 * 1024));
        deviceSetCapacity(total);
        // Absurd sizes are refused before anything is allocated.
        size_t pitch = 1;
        QVERIFY(deviceAllocPitch(SIZE_MAX / 2, 4, &pitch) == nullptr);
        QCOMPARE(pitch, size_t(0));
        Mat huge;
        QCOMPARE(huge.alloc(100000, 100000, MAT_TYPE_32F_C4, MEM_CPU), ERROR_CODE_INVALID_ARGUMENT);
    }
};

QTEST_GUILESS_MAIN(TestMemory)
#include "test_memory.moc"
