#pragma once
// The command line of every twv command: positional words, options with a
// value and bare flags, and the values they name.

#include "twl/twv/TwvFormat.h"

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace twvtool {

struct Args {
    std::vector<std::string> positional;
    std::map<std::string, std::string> options; // the last value of each
    std::set<std::string> flags;
    /// Every value of every option, in command-line order (for options that may repeat).
    std::vector<std::pair<std::string, std::string>> ordered;

    bool has(const std::string &name) const { return options.count(name) != 0; }
    std::string get(const std::string &name, const std::string &fallback = std::string()) const {
        auto it = options.find(name);
        return it == options.end() ? fallback : it->second;
    }
    /// Every value given to `name`, in order: "--set a=1 --set b=2".
    std::vector<std::string> all(const std::string &name) const {
        std::vector<std::string> values;
        for (const auto &option : ordered)
            if (option.first == name) values.push_back(option.second);
        return values;
    }
};

/// Splits the words after the command into positional arguments, options
/// with a value ("--name value" or "--name=value") and bare flags. Returns
/// false (after printing why) for unknown options or missing values.
bool parseArgs(int argc, char **argv, int first, const std::set<std::string> &valued,
               const std::set<std::string> &flags, Args *args);
/// Exactly one positional argument: the file the command works on.
bool singleFile(const Args &args, const char *command, std::string *path);

bool parseInt(const std::string &text, long minimum, long maximum, long *value);
bool parsePositiveFloat(const std::string &text, double *value);
/// --codec, jpeg when not given.
bool parseCodec(const Args &args, twl::TwvCodec *codec);
/// A depth mode by name, in any case.
bool parseMode(const std::string &name, int *mode);
/// A resolution by name, in any case; -1 when none.
int resolutionIndex(const std::string &name);

std::string upper(std::string s);
std::string lower(std::string s);
/// Lower-case extension with its dot: ".png".
std::string extensionOf(const std::string &path);

} // namespace twvtool
