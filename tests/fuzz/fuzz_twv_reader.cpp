// libFuzzer target: any input, read as a recording through the viewer's reader, ends in frames or an error
// code.
#include "TwvReadAll.h"

#include <opencv2/core/utility.hpp>

#include <cstdint>
#include <cstdio>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace {
// The reader takes a path: the input lives in one memory file, rewritten per run.
int memoryFile = -1;
std::string path;
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    cv::setNumThreads(1); // the same frames decode the same way: findings replay
    memoryFile = memfd_create("twv-fuzz", 0);
    if (memoryFile < 0) {
        std::perror("memfd_create");
        std::abort();
    }
    path = "/proc/self/fd/" + std::to_string(memoryFile);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (ftruncate(memoryFile, 0) != 0 || pwrite(memoryFile, data, size, 0) != ssize_t(size)) std::abort();
    TwvReadAll::readAll(path);
    return 0;
}
