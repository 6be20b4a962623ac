#pragma once
// Load sampler for the status line: the process's CPU share, the GPU's load,
// the share of device memory in use and the process's private memory over the
// system's commit limit, all in percent and -1.0 until measured. prepare()
// once, then each start() takes one sample on a short-lived thread (a start
// while the previous sample still runs does nothing). The owner reads the
// figures directly; each is written whole.

#include <QString>
#include <QThread>

#include <atomic>
#include <cstdint>

class CPUGPUInfos : public QThread {
public:
    CPUGPUInfos();
    ~CPUGPUInfos() override;

    /// CPU baseline, GPU load library, totals. Call once before the first start().
    void prepare();

    /// The status-line text for four figures, one decimal each.
    static QString statusText(float cpu, float gpu, float gpuMem, float ram);
    /// The same for the figures of the last sample.
    QString statusText() const;

    std::atomic<float> cpuUsage{-1.0f};
    std::atomic<float> gpuUsage{-1.0f};
    std::atomic<float> gpuMemUsage{-1.0f};
    std::atomic<float> ramUsage{-1.0f};

    bool isPrepared() const { return prepared.load(); }
    bool isGpuUsageAvailable() const { return gpuUsageAvailable.load(); }

    /// Library loaded for the GPU load (tests point it at a missing one).
    static void setGpuLibraryName(const QString &name);

protected:
    void run() override;

private:
    void loadGpuLibrary();
    static bool processTimesNs(uint64_t *cpuNs);
    static uint64_t wallNs();
    static uint64_t privateMemoryBytes();
    static uint64_t commitLimitBytes();

    std::atomic<bool> prepared{false};
    std::atomic<bool> gpuUsageAvailable{false};

    // Owned by whichever thread samples; samples never overlap.
    uint64_t lastWallNs = 0;
    uint64_t lastCpuNs = 0;
    int processors = 1;
    uint64_t commitLimit = 0;
    size_t totalDeviceMemory = 0;
    size_t lastFreeDeviceMemory = 0;

    // Management library (opened at run time).
    void *nvmlHandle = nullptr;
    void *nvmlDevice = nullptr;
    int (*nvmlGetUtilization)(void *, void *) = nullptr;
};
