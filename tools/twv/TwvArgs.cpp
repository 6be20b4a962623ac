#include "TwvArgs.h"

#include "TwvCommon.h"
#include "twl/core/ModeTable.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>

namespace fs = std::filesystem;
using namespace twl;

namespace twvtool {

bool parseArgs(int argc, char **argv, int first, const std::set<std::string> &valued,
               const std::set<std::string> &flags, Args *args) {
    for (int i = first; i < argc; ++i) {
        std::string word = argv[i];
        if (word.size() < 3 || word.compare(0, 2, "--") != 0) {
            args->positional.push_back(word);
            continue;
        }
        std::string name = word.substr(2), value;
        const size_t eq = name.find('=');
        const bool inlineValue = eq != std::string::npos;
        if (inlineValue) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
        }
        if (flags.count(name) && !inlineValue) {
            args->flags.insert(name);
        } else if (valued.count(name)) {
            if (!inlineValue) {
                if (i + 1 >= argc) {
                    fail(kUsageError, "option --%s needs a value", name.c_str());
                    return false;
                }
                value = argv[++i];
            }
            args->options[name] = value;
            args->ordered.emplace_back(name, value);
        } else {
            fail(kUsageError, "unknown option --%s (see twv --help)", name.c_str());
            return false;
        }
    }
    return true;
}

bool parseInt(const std::string &text, long minimum, long maximum, long *value) {
    if (text.empty()) return false;
    errno = 0;
    char *end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < minimum || v > maximum) return false;
    *value = v;
    return true;
}

bool parsePositiveFloat(const std::string &text, double *value) {
    if (text.empty()) return false;
    errno = 0;
    char *end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v) || v <= 0) return false;
    *value = v;
    return true;
}

std::string upper(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::toupper(c)); });
    return s;
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

std::string extensionOf(const std::string &path) {
    return lower(fs::path(path).extension().string());
}

bool parseCodec(const Args &args, TwvCodec *codec) {
    const std::string name = lower(args.get("codec", "jpeg"));
    if (name == "jpeg" || name == "jpg")
        *codec = TwvCodec::Jpeg;
    else if (name == "lossless")
        *codec = TwvCodec::Lossless;
    else
        return false;
    return true;
}

bool singleFile(const Args &args, const char *command, std::string *path) {
    if (args.positional.size() != 1) {
        fail(kUsageError,
             args.positional.empty() ? "%s: which file? (see twv --help)"
                                     : "%s: one file only (see twv --help)",
             command);
        return false;
    }
    *path = args.positional[0];
    return true;
}

int resolutionIndex(const std::string &name) {
    return resolutionIndexByName(upper(name));
}

bool parseMode(const std::string &name, int *mode) {
    const DEPTH_MODE found = depthModeByName(upper(name));
    if (found == DEPTH_MODE_NONE) return false;
    *mode = found;
    return true;
}

} // namespace twvtool
