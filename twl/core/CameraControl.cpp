#include "twl/core/CameraControl.h"

#include <cerrno>
#include <cstring>

namespace twl {

std::string controlKey(const std::string &name) {
    std::string key;
    bool gap = false;
    for (const char ch : name) {
        const unsigned char c = static_cast<unsigned char>(ch);
        const bool alnum = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!alnum) {
            gap = !key.empty();
            continue;
        }
        if (gap) key += '_';
        gap = false;
        key += char(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    return key;
}

const CameraControl *findControl(const std::vector<CameraControl> &controls, const std::string &key) {
    for (const CameraControl &c : controls)
        if (c.key == key) return &c;
    return nullptr;
}

std::string controlRefusalText(int error) {
    switch (error) {
    case EACCES:
        return "not changeable now (another control decides it)";
    case EBUSY:
        return "camera busy";
    case ERANGE:
        return "value out of range";
    case EINVAL:
        return "value not accepted";
    case EIO:
        return "the camera failed to take it (I/O error)";
    case ENODEV:
        return "camera gone";
    case ENOTTY:
        return "camera has no controls";
    default:
        return std::strerror(error);
    }
}

std::vector<ControlRefusal> applyControlValues(const std::vector<std::pair<std::string, int32_t>> &values,
                                               const std::function<std::vector<CameraControl>()> &read,
                                               const std::function<int(uint32_t, int32_t)> &set) {
    std::vector<std::pair<std::string, int32_t>> pending = values;
    std::vector<ControlRefusal> refused;
    while (!pending.empty()) {
        const std::vector<CameraControl> controls = read();
        std::vector<std::pair<std::string, int32_t>> again;
        std::vector<ControlRefusal> waiting;
        bool progress = false;
        for (const auto &wanted : pending) {
            const CameraControl *c = findControl(controls, wanted.first);
            if (!c) continue;
            const int error = c->value == wanted.second ? 0 : set(c->id, wanted.second);
            if (error == 0) {
                progress = true;
            } else if (error == EACCES) {
                // Perhaps only until a value still pending switches its master.
                again.push_back(wanted);
                waiting.push_back({c->key, c->name, error});
            } else {
                refused.push_back({c->key, c->name, error});
            }
        }
        if (!progress || again.empty()) {
            refused.insert(refused.end(), waiting.begin(), waiting.end());
            break;
        }
        pending.swap(again);
    }
    return refused;
}

} // namespace twl
