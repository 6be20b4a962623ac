// Writes the fuzz target's seed corpus (TwvSeeds.h) into a folder.
#include "TwvSeeds.h"

#include <cstdio>

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_twv_seeds FOLDER\n");
        return 2;
    }
    const bool ok = TwvSeeds::writeAll(argv[1]);
    if (!ok) std::fprintf(stderr, "fuzz_twv_seeds: could not write the seeds in %s\n", argv[1]);
    return ok ? 0 : 1;
}
