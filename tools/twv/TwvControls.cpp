// twv controls: a camera's image controls, listed or set. The node is only
// opened, never streamed from, so this works while another program (the
// viewer, say) streams from the camera.

#include "TwvControls.h"

#include "TwvArgs.h"
#include "TwvCommands.h"
#include "TwvCommon.h"
#include "twl/uvc/UvcControls.h"
#include "twl/uvc/V4l2Device.h"

#include <fcntl.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

using namespace twl;

namespace twvtool {

namespace {

const char *typeName(CameraControl::Type type) {
    switch (type) {
    case CameraControl::Type::Integer:
        return "int";
    case CameraControl::Type::Boolean:
        return "bool";
    case CameraControl::Type::Menu:
        return "menu";
    case CameraControl::Type::IntegerMenu:
        return "intmenu";
    }
    return "?";
}

void print(const CameraControl &c) {
    // The layout of v4l2-ctl -L, which users of these cameras know.
    std::string range;
    if (c.type != CameraControl::Type::Boolean)
        range = "min=" + std::to_string(c.minimum) + " max=" + std::to_string(c.maximum) + " ";
    if (c.type == CameraControl::Type::Integer) range += "step=" + std::to_string(c.step) + " ";
    std::printf("%32s 0x%08x %-9s: %sdefault=%d value=%d%s\n", c.key.c_str(), c.id,
                (std::string("(") + typeName(c.type) + ")").c_str(), range.c_str(), c.defaultValue, c.value,
                c.inactive ? " flags=inactive" : "");
    for (const CameraControl::MenuItem &item : c.menu)
        std::printf("%40d: %s\n", item.index, item.label.c_str());
}

} // namespace

int applySettings(const char *command, const std::vector<std::string> &settings,
                  const std::function<std::vector<CameraControl>()> &read,
                  const std::function<int(uint32_t, int32_t)> &set, bool echo) {
    for (const std::string &setting : settings) {
        const size_t eq = setting.find('=');
        long value = 0;
        if (eq == std::string::npos || eq == 0 ||
            !parseInt(setting.substr(eq + 1), INT32_MIN, INT32_MAX, &value))
            return fail(kUsageError, "%s: --set needs NAME=VALUE with a whole number, not '%s'", command,
                        setting.c_str());
        const std::string name = setting.substr(0, eq);
        const std::vector<CameraControl> controls = read();
        const CameraControl *c = findControl(controls, name);
        if (!c)
            return fail(kFailed, "%s: %s: the camera has no such control (see twv controls)", command,
                        name.c_str());
        const int error = set(c->id, int32_t(value));
        if (error != 0)
            return fail(kFailed, "%s: %s: the camera refused %ld: %s", command, name.c_str(), value,
                        controlRefusalText(error).c_str());
        if (echo) {
            const std::vector<CameraControl> after = read();
            const CameraControl *now = findControl(after, name);
            std::printf("%s=%d\n", name.c_str(), now ? now->value : int(value));
        }
    }
    return kOk;
}

} // namespace twvtool

using namespace twvtool;

int cmdControls(int argc, char **argv) {
    Args args;
    if (!parseArgs(argc, argv, 2, {"set"}, {}, &args)) return kUsageError;
    std::string node;
    if (args.positional.size() != 1)
        return fail(kUsageError, "controls: which camera? twv controls /dev/videoN [--set NAME=VALUE ...]");
    node = args.positional[0];
    V4l2Device &device = deviceBackend();
    const int fd = device.open(node, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return fail(kFailed, "controls: cannot open %s: %s%s", node.c_str(), std::strerror(errno),
                    errno == EACCES ? " (is this user in the video group?)" : "");
    const auto read = [&device, fd]() { return UvcControls::query(device, fd); };
    const auto set = [&device, fd](uint32_t id, int32_t value) {
        return UvcControls::set(device, fd, id, value);
    };
    int status = kOk;
    const std::vector<std::string> settings = args.all("set");
    if (!settings.empty()) {
        status = applySettings("controls", settings, read, set, true);
    } else {
        const std::vector<CameraControl> controls = read();
        if (controls.empty()) std::printf("%s offers no image controls\n", node.c_str());
        for (const CameraControl &c : controls)
            print(c);
    }
    device.close(fd);
    return status;
}
