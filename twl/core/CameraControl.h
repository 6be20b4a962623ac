#pragma once
// A camera's image controls (exposure, gain, white balance, ...) as the
// camera reports them, one record per control, and the words for a control
// the camera refused. Values are whole numbers as V4L2 has them: a menu's
// value is the index of its entry, a boolean 0 or 1.

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace twl {

struct CameraControl {
    enum class Type { Integer, Boolean, Menu, IntegerMenu };
    struct MenuItem {
        int32_t index = 0;
        std::string label; // for an integer menu, its number as text
    };

    uint32_t id = 0;
    std::string name; // as the camera spells it: "Exposure Time, Absolute"
    std::string key;  // as v4l2-ctl names it: "exposure_time_absolute"
    Type type = Type::Integer;
    int32_t minimum = 0, maximum = 0, step = 1, defaultValue = 0;
    int32_t value = 0;
    /// Settable only once another control allows it (exposure while auto
    /// exposure is on); setting it meanwhile is refused with EACCES.
    bool inactive = false;
    std::vector<MenuItem> menu; // the entries the camera offers, in index order
};

/// A control's name as v4l2-ctl turns it into a key: letters and digits in
/// lower case, each run of anything else one underscore, none at either end.
std::string controlKey(const std::string &name);

/// The control with this key, or null.
const CameraControl *findControl(const std::vector<CameraControl> &controls, const std::string &key);

/// Why a camera refused a control, from the error number of the refusal:
/// "not changeable now" for EACCES, "camera busy" for EBUSY, ...
std::string controlRefusalText(int error);

/// A control (by key) that was not taken, and the error number of the refusal.
struct ControlRefusal {
    std::string key;
    std::string name;
    int error = 0;
};

/// Sets the named values in a way that survives dependencies between them:
/// a value refused as inactive (EACCES) is tried again once others went in,
/// so "auto_exposure=1" may come after "exposure_time_absolute=250". Keys the
/// camera does not have are passed over. `read` lists the controls as they
/// are now; `set` sets one and answers 0 or an error number.
std::vector<ControlRefusal> applyControlValues(const std::vector<std::pair<std::string, int32_t>> &values,
                                               const std::function<std::vector<CameraControl>()> &read,
                                               const std::function<int(uint32_t id, int32_t value)> &set);

} // namespace twl
