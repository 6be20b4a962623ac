#include "bench/Benchmarks.h"

#include <cstdio>

int runEngineBenchmark(int, char **) {
    std::fprintf(stderr, "vantaro-bench: this benchmark is not built yet\n");
    return 2;
}
