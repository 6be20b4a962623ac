#pragma once
// Progress of long work on standard error.

#include <cstdio>

namespace twvtool {

/// The "\rrecording 12/100" line on stderr; end() finishes it so that a
/// following message starts on a line of its own.
class Progress {
public:
    explicit Progress(const char *what) : what_(what) {}
    ~Progress() { end(); }
    void update(int done, int total) {
        std::fprintf(stderr, "\r%s %d/%d", what_, done, total);
        std::fflush(stderr);
        shown_ = true;
    }
    void end() {
        if (shown_) std::fputc('\n', stderr);
        shown_ = false;
    }

private:
    const char *what_;
    bool shown_ = false;
};

} // namespace twvtool
