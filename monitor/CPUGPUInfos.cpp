#include "monitor/CPUGPUInfos.h"

#include "monitor/MonitorLog.h"

#include "twl/core/DeviceMemory.h"
#include "twl/util/SteadyClock.h"

#include <QMutex>

#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

QMutex libraryNameMutex;
QString gpuLibraryName = QStringLiteral("libnvidia-ml.so.1");

struct NvmlUtilization {
    unsigned int gpu;
    unsigned int memory;
};

typedef int (*NvmlInit)();
typedef int (*NvmlShutdown)();
typedef int (*NvmlGetHandleByIndex)(unsigned int, void **);

// Sum of the kB figures of the named fields in a /proc text file; false when
// none of them is there.
bool readKbFields(const char *path, const char *const *fields, int fieldCount, uint64_t *kb) {
    FILE *file = std::fopen(path, "r");
    if (!file) return false;
    char line[256];
    bool found = false;
    uint64_t sum = 0;
    while (std::fgets(line, sizeof line, file)) {
        for (int i = 0; i < fieldCount; ++i) {
            const size_t n = std::strlen(fields[i]);
            if (std::strncmp(line, fields[i], n) == 0 && line[n] == ':') {
                unsigned long long value = 0;
                if (std::sscanf(line + n + 1, "%llu", &value) == 1) {
                    sum += value;
                    found = true;
                }
            }
        }
    }
    std::fclose(file);
    *kb = sum;
    return found;
}

} // namespace

CPUGPUInfos::CPUGPUInfos() = default;

CPUGPUInfos::~CPUGPUInfos() {
    wait();
    if (nvmlHandle) {
        if (gpuUsageAvailable.load()) {
            if (auto shutdown = reinterpret_cast<NvmlShutdown>(dlsym(nvmlHandle, "nvmlShutdown"))) shutdown();
        }
        dlclose(nvmlHandle);
    }
}

void CPUGPUInfos::setGpuLibraryName(const QString &name) {
    QMutexLocker lock(&libraryNameMutex);
    gpuLibraryName = name;
}

QString CPUGPUInfos::statusText(float cpu, float gpu, float gpuMem, float ram) {
    return QStringLiteral(" CPU/GPU load : %1% %2% -- GPU Mem: %3% -- RAM: %4%")
        .arg(double(cpu), 0, 'f', 1)
        .arg(double(gpu), 0, 'f', 1)
        .arg(double(gpuMem), 0, 'f', 1)
        .arg(double(ram), 0, 'f', 1);
}

QString CPUGPUInfos::statusText() const {
    return statusText(cpuUsage.load(), gpuUsage.load(), gpuMemUsage.load(), ramUsage.load());
}

uint64_t CPUGPUInfos::wallNs() {
    return uint64_t(twl::steadyNowNs());
}

bool CPUGPUInfos::processTimesNs(uint64_t *cpuNs) {
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) != 0) return false;
    auto ns = [](const timeval &t) {
        return uint64_t(t.tv_sec) * 1000000000ULL + uint64_t(t.tv_usec) * 1000ULL;
    };
    *cpuNs = ns(usage.ru_utime) + ns(usage.ru_stime);
    return true;
}

uint64_t CPUGPUInfos::privateMemoryBytes() {
    static const char *const privateFields[] = {"Private_Clean", "Private_Dirty"};
    uint64_t kb = 0;
    if (readKbFields("/proc/self/smaps_rollup", privateFields, 2, &kb)) return kb * 1024;
    static const char *const anonFields[] = {"RssAnon"};
    if (readKbFields("/proc/self/status", anonFields, 1, &kb)) return kb * 1024;
    return 0;
}

uint64_t CPUGPUInfos::commitLimitBytes() {
    static const char *const fields[] = {"CommitLimit"};
    uint64_t kb = 0;
    return readKbFields("/proc/meminfo", fields, 1, &kb) ? kb * 1024 : 0;
}

void CPUGPUInfos::loadGpuLibrary() {
    QString name;
    {
        QMutexLocker lock(&libraryNameMutex);
        name = gpuLibraryName;
    }
    nvmlHandle = dlopen(name.toUtf8().constData(), RTLD_NOW | RTLD_LOCAL);
    if (!nvmlHandle) {
        qCDebug(lcMonitor).noquote() << QStringLiteral("Couldn't find %1").arg(name);
        return;
    }
    auto init = reinterpret_cast<NvmlInit>(dlsym(nvmlHandle, "nvmlInit_v2"));
    auto handleByIndex =
        reinterpret_cast<NvmlGetHandleByIndex>(dlsym(nvmlHandle, "nvmlDeviceGetHandleByIndex_v2"));
    auto utilization =
        reinterpret_cast<int (*)(void *, void *)>(dlsym(nvmlHandle, "nvmlDeviceGetUtilizationRates"));
    if (!init || !handleByIndex || !utilization) {
        qCDebug(lcMonitor).noquote() << QStringLiteral("Couldn't get functions in %1").arg(name);
        return;
    }
    if (init() != 0) return;
    void *device = nullptr;
    if (handleByIndex(0, &device) != 0 || !device) {
        if (auto shutdown = reinterpret_cast<NvmlShutdown>(dlsym(nvmlHandle, "nvmlShutdown"))) shutdown();
        return;
    }
    nvmlDevice = device;
    nvmlGetUtilization = utilization;
    gpuUsageAvailable.store(true);
}

void CPUGPUInfos::prepare() {
    if (prepared.load()) return;
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    processors = online > 0 ? int(online) : 1;
    lastWallNs = wallNs();
    processTimesNs(&lastCpuNs);

    loadGpuLibrary();

    size_t freeBytes = 0;
    twl::deviceMemGetInfo(&freeBytes, &totalDeviceMemory);
    lastFreeDeviceMemory = freeBytes;
    commitLimit = commitLimitBytes();
    prepared.store(true);
}

void CPUGPUInfos::run() {
    if (!prepared.load()) return;

    const uint64_t now = wallNs();
    uint64_t cpuNs = 0;
    if (processTimesNs(&cpuNs) && now > lastWallNs) {
        const double busy = double(cpuNs - lastCpuNs);
        const double wall = double(now - lastWallNs);
        cpuUsage.store(float(busy / wall / double(processors) * 100.0));
        lastCpuNs = cpuNs;
        lastWallNs = now;
    }

    size_t freeBytes = 0, totalBytes = 0;
    twl::deviceMemGetInfo(&freeBytes, &totalBytes);
    lastFreeDeviceMemory = freeBytes;
    if (totalDeviceMemory > 0)
        gpuMemUsage.store(float(double(uint64_t(totalDeviceMemory) - uint64_t(freeBytes)) * 100.0 /
                                double(totalDeviceMemory)));

    if (commitLimit > 0) ramUsage.store(float(double(privateMemoryBytes()) * 100.0 / double(commitLimit)));

    if (gpuUsageAvailable.load()) {
        NvmlUtilization rates{0, 0};
        if (nvmlGetUtilization(nvmlDevice, &rates) == 0) gpuUsage.store(float(rates.gpu));
    }
}
