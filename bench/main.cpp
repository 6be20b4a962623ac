// vantaro-bench [engine|matcher|views|viewer|record|rectify|input|depthlook] [options]: without a family
// name the engine benchmark runs.
#include "bench/BenchTiming.h"
#include "bench/Benchmarks.h"

#include <cstdio>
#include <cstring>

int main(int argc, char **argv) {
    const char *family = argc > 1 ? argv[1] : "engine";
    if (argc > 1 && std::strncmp(argv[1], "-", 1) == 0)
        family = "engine";
    int shift = (argc > 1 && family == argv[1]) ? 1 : 0;
    std::printf("{\"machine\":{\"cpu\":\"%s\",\"threads\":%u}}\n", bench::cpuModel().c_str(),
                std::thread::hardware_concurrency());
    std::fflush(stdout);
    if (std::strcmp(family, "engine") == 0)
        return runEngineBenchmark(argc - shift, argv + shift);
    if (std::strcmp(family, "matcher") == 0)
        return runMatcherBenchmark(argc - shift, argv + shift);
    if (std::strcmp(family, "views") == 0)
        return runViewsBenchmark(argc - shift, argv + shift);
    if (std::strcmp(family, "viewer") == 0)
        return runViewerBenchmark(argc - shift, argv + shift);
    if (std::strcmp(family, "record") == 0)
        return runRecordBenchmark(argc - shift, argv + shift);
    if (std::strcmp(family, "rectify") == 0)
        return runRectifyBenchmark(argc - shift, argv + shift);
    if (std::strcmp(family, "input") == 0)
        return runInputBenchmark(argc - shift, argv + shift);
    if (std::strcmp(family, "depthlook") == 0) return runDepthLookBenchmark(argc - shift, argv + shift);
    std::fprintf(stderr,
                 "usage: vantaro-bench [engine|matcher|views|viewer|record|rectify|input|depthlook] [options]\n");
    return 2;
}
