#pragma once
// Where the two bands of a lone pair meet, moved after each frame so that
// both threads finish together. The two cores of a small virtual machine
// are seldom equally fast (other guests' work on the same physical cores,
// which the guest does not see as steal time), and on a laptop one thread
// may sit on an efficiency core. With the rows split evenly, the faster
// thread waited for the slower one at the seam and at the end: 7 % of a
// frame on average at 640 x 360 x 96 over 400 frames. Each frame's time a
// row predicts the next frame's well there (the ratio of the two threads'
// times had a correlation of 0.88 from one frame to the next), so the split
// follows the frames; it moves half way each frame, which did as well on
// those frames and goes half as far wrong where a frame tells little of the
// next (a third busy thread that moves between the cores). Where the bands
// meet does not change the result.

namespace twl {

class BandBalance {
public:
    /// The share of the rows given to the upper band, kept within these.
    static constexpr double kLeast = 0.3, kMost = 0.7;

    /// Rows of the upper band of `height`, leaving each band at least `least`.
    int upperRows(int height, int least) const { return rowsAt(upperShare_, height, least); }
    /// The same at a share of one's own.
    static int rowsAt(double share, int height, int least);
    /// After a frame: each band's rows and the seconds its thread was busy
    /// with them (not waiting). A frame with a band of no rows or no time
    /// leaves the split where it was.
    void measured(int upperRows, double upperSeconds, int lowerRows, double lowerSeconds);
    double upperShare() const { return upperShare_; }
    void setUpperShare(double share);

private:
    double upperShare_ = 0.5;
};

} // namespace twl
