// The load sampler: start values, CPU, memory and GPU-memory figures, a missing GPU library, the status text.
#include "TestSupport.h"
#include "monitor/CPUGPUInfos.h"
#include "twl/core/DeviceMemory.h"

#include <QtTest>

#include <ctime>
#include <vector>

namespace {

void sample(CPUGPUInfos &infos) {
    infos.start();
    QVERIFY(infos.wait(5000));
}

double seconds(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

} // namespace

class TestMonitor : public QObject {
    Q_OBJECT
private slots:
    void unusableLibraryLeavesOnlyGpuLoadUnmeasured() {
        // Missing, or a real library that is not the management library.
        const QStringList names = {"libvantaro-no-such-library.so.1", "libm.so.6"};
        for (int i = 0; i < 2; ++i) {
            CPUGPUInfos::setGpuLibraryName(names[i]);
            QTest::ignoreMessage(
                QtDebugMsg, qPrintable((i ? "Couldn't get functions in " : "Couldn't find ") + names[i]));
            CPUGPUInfos infos;
            infos.prepare();
            CPUGPUInfos::setGpuLibraryName(QStringLiteral("libnvidia-ml.so.1"));
            QVERIFY(!infos.isGpuUsageAvailable());
            sample(infos);
            QCOMPARE(float(infos.gpuUsage), -1.0f);
            QVERIFY(infos.cpuUsage >= 0.0f && infos.gpuMemUsage >= 0.0f && infos.gpuMemUsage <= 100.0f &&
                    infos.ramUsage > 0.0f && infos.ramUsage < 100.0f);
        }
    }

    void gpuLoadThroughTheManagementLibrary() {
        // A stand-in library with the three entries, built here.
        const QString source = TestSupport::dataDir() + "/fake-nvml.c",
                      library = TestSupport::dataDir() + "/libfake-nvml.so";
        QFile file(source);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("typedef struct { unsigned int gpu, memory; } U;\n"
                   "static int device = 1;\n"
                   "int nvmlInit_v2(void) { return 0; }\n"
                   "int nvmlShutdown(void) { return 0; }\n"
                   "int nvmlDeviceGetHandleByIndex_v2(unsigned int i, void **d) { *d = &device; return i; }\n"
                   "int nvmlDeviceGetUtilizationRates(void *d, U *u) {\n"
                   "  if (d != &device) return 1; u->gpu = 42; u->memory = 7; return 0; }\n");
        file.close();
        QProcess cc;
        cc.start("cc", {"-shared", "-fPIC", "-o", library, source});
        if (!cc.waitForFinished(60000) || cc.exitCode() != 0)
            QSKIP("no C compiler to build the stand-in library");
        CPUGPUInfos::setGpuLibraryName(library);
        CPUGPUInfos infos;
        infos.prepare();
        CPUGPUInfos::setGpuLibraryName(QStringLiteral("libnvidia-ml.so.1"));
        QVERIFY(infos.isGpuUsageAvailable());
        QCOMPARE(float(infos.gpuUsage), -1.0f); // not before the first sample
        sample(infos);
        QCOMPARE(float(infos.gpuUsage), 42.0f);
    }

    void cpuFigureFollowsWork() {
        CPUGPUInfos infos;
        infos.prepare();
        QThread::msleep(300);
        sample(infos);
        const float idle = infos.cpuUsage;
        // Work for a fixed amount of CPU time, however crowded the machine, and compare with the share seen.
        const double wall0 = seconds(CLOCK_MONOTONIC), cpu0 = seconds(CLOCK_PROCESS_CPUTIME_ID);
        for (volatile unsigned long x = 0;
             seconds(CLOCK_PROCESS_CPUTIME_ID) < cpu0 + 0.4 && seconds(CLOCK_MONOTONIC) < wall0 + 20.0;)
            x = x + 1;
        const double wall1 = seconds(CLOCK_MONOTONIC), cpu1 = seconds(CLOCK_PROCESS_CPUTIME_ID);
        sample(infos);
        const double expected = (cpu1 - cpu0) / (wall1 - wall0) / QThread::idealThreadCount() * 100.0;
        const float busy = infos.cpuUsage;
        QVERIFY2(std::abs(busy - expected) < 0.3 * expected + 3.0,
                 qPrintable(QStringLiteral("measured %1, expected %2").arg(busy).arg(expected)));
        QVERIFY2(busy > idle && busy <= 100.5f, qPrintable(QStringLiteral("%1 %2").arg(idle).arg(busy)));
    }

    void memoryFiguresFollowAllocations() {
        CPUGPUInfos infos;
        sample(infos); // before prepare(): nothing is measured
        QVERIFY(infos.cpuUsage == -1.0f && infos.ramUsage == -1.0f && infos.gpuMemUsage == -1.0f &&
                infos.gpuUsage == -1.0f);
        infos.prepare();
        sample(infos);
        const float ramBefore = infos.ramUsage, gpuBefore = infos.gpuMemUsage;
        const size_t bytes = 256u << 20;
        std::vector<char> block(bytes);
        for (size_t i = 0; i < bytes; i += 4096)
            block[i] = char(i);
        size_t freeBytes = 0, totalBytes = 0;
        twl::deviceMemGetInfo(&freeBytes, &totalBytes);
        void *device = twl::deviceAlloc(totalBytes / 10);
        QVERIFY(device);
        sample(infos);
        // The RAM figure is a share of the commit limit.
        const QString meminfo = TestSupport::readFile("/proc/meminfo");
        const double limitKb =
            QRegularExpression("CommitLimit:\\s+(\\d+) kB").match(meminfo).captured(1).toDouble();
        const double ramExpected = double(bytes) * 100.0 / (limitKb * 1024);
        QVERIFY2(infos.ramUsage - ramBefore > 0.8 * ramExpected, qPrintable(QString::number(ramExpected)));
        QVERIFY2(std::abs(infos.gpuMemUsage - gpuBefore - 10.0f) < 0.5f,
                 qPrintable(QString::number(infos.gpuMemUsage - gpuBefore)));
        twl::deviceFree(device);
        std::vector<char>().swap(block);
        sample(infos);
        QVERIFY(infos.ramUsage < ramBefore + 0.5 * ramExpected);
        QVERIFY(std::abs(infos.gpuMemUsage - gpuBefore) < 0.5f);
    }
};

QTEST_GUILESS_MAIN(TestMonitor)
#include "test_monitor.moc"
