#include "bench/Benchmarks.h"

#include <cstdio>

int runViewsBenchmark(int, char **) {
    std::fprintf(stderr, "vantaro-bench: this benchmark is not built yet\n");
    return 2;
}
