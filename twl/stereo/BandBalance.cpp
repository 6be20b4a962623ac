#include "twl/stereo/BandBalance.h"

#include <algorithm>
#include <cmath>

namespace twl {

int BandBalance::rowsAt(double share, int height, int least) {
    const int rows = int(std::lround(height * share));
    return least * 2 > height ? height / 2 : std::clamp(rows, least, height - least);
}

void BandBalance::measured(int upperRows, double upperSeconds, int lowerRows, double lowerSeconds) {
    if (upperRows <= 0 || lowerRows <= 0 || !(upperSeconds > 0) || !(lowerSeconds > 0)) return;
    // Rows that take both threads equally long: the upper band's share is
    // the lower thread's time a row over both threads' times a row. The
    // split moves half way there.
    const double upper = upperSeconds / upperRows, lower = lowerSeconds / lowerRows;
    setUpperShare((upperShare_ + lower / (upper + lower)) / 2);
}

void BandBalance::setUpperShare(double share) {
    if (std::isfinite(share)) upperShare_ = std::clamp(share, kLeast, kMost);
}

} // namespace twl
