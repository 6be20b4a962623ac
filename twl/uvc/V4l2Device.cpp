#include "twl/uvc/V4l2Device.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace twl {

int V4l2Device::xioctl(int fd, unsigned long request, void *argument) {
    int r;
    do {
        r = ioctl(fd, request, argument);
    } while (r == -1 && errno == EINTR);
    return r;
}

namespace {

class SystemV4l2Device : public V4l2Device {
public:
    int open(const std::string &path, int flags) override { return ::open(path.c_str(), flags); }
    int close(int fd) override { return ::close(fd); }
    int ioctl(int fd, unsigned long request, void *argument) override {
        return ::ioctl(fd, request, argument);
    }
    void *mmap(size_t length, int protection, int flags, int fd, off_t offset) override {
        return ::mmap(nullptr, length, protection, flags, fd, offset);
    }
    int munmap(void *address, size_t length) override { return ::munmap(address, length); }
    int poll(struct pollfd *fds, nfds_t count, int timeoutMs) override {
        return ::poll(fds, count, timeoutMs);
    }
    bool readText(const std::string &path, std::string *text) override {
        std::ifstream in(path);
        if (!in) return false;
        std::ostringstream all;
        all << in.rdbuf();
        *text = all.str();
        while (!text->empty() && std::isspace(static_cast<unsigned char>(text->back())))
            text->pop_back();
        return true;
    }
    std::vector<std::string> listNodes() override {
        std::vector<std::pair<long, std::string>> found;
        std::error_code ec;
        for (const auto &entry : std::filesystem::directory_iterator("/dev", ec)) {
            const std::string name = entry.path().filename().string();
            if (name.size() <= 5 || name.compare(0, 5, "video") != 0) continue;
            if (!std::all_of(name.begin() + 5, name.end(), [](char c) { return c >= '0' && c <= '9'; }))
                continue;
            found.emplace_back(std::strtol(name.c_str() + 5, nullptr, 10), entry.path().string());
        }
        std::sort(found.begin(), found.end());
        std::vector<std::string> nodes;
        for (auto &f : found)
            nodes.push_back(f.second);
        return nodes;
    }
};

SystemV4l2Device systemDevice;
std::atomic<V4l2Device *> installed{nullptr};

} // namespace

V4l2Device &deviceBackend() {
    V4l2Device *backend = installed.load();
    return backend ? *backend : systemDevice;
}

void setDeviceBackend(V4l2Device *backend) {
    installed.store(backend);
}

} // namespace twl
