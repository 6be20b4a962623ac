#pragma once
// The few system calls a video capture node needs, behind an interface of
// their own so that tests can play a camera that is not there. The system
// backend forwards each call unchanged; results and errno follow the calls
// they stand for (-1 and errno on failure, MAP_FAILED from mmap).

#include <poll.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace twl {

class V4l2Device {
public:
    virtual ~V4l2Device() = default;
    virtual int open(const std::string &path, int flags) = 0;
    virtual int close(int fd) = 0;
    virtual int ioctl(int fd, unsigned long request, void *argument) = 0;
    virtual void *mmap(size_t length, int protection, int flags, int fd, off_t offset) = 0;
    virtual int munmap(void *address, size_t length) = 0;
    virtual int poll(struct pollfd *fds, nfds_t count, int timeoutMs) = 0;
    /// Contents of a small text file (sysfs attributes), trailing white space removed.
    virtual bool readText(const std::string &path, std::string *text) = 0;
    /// The /dev/videoN nodes present now, in number order.
    virtual std::vector<std::string> listNodes() = 0;

    /// ioctl retried while interrupted by a signal.
    int xioctl(int fd, unsigned long request, void *argument);
};

/// The backend every capture node is reached through: the system's unless a
/// test installed its own.
V4l2Device &deviceBackend();
/// Test hook: `backend` serves every later call (nullptr restores the
/// system). The caller keeps it alive while any camera it opened is open.
void setDeviceBackend(V4l2Device *backend);

} // namespace twl
