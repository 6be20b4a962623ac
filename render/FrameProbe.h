#pragma once
// Reads what the current frame holds at a point of the picture: the 3D point
// and the confidence of the pixel under a fraction of the picture's width and
// height, from the capture thread's display-size matrices and under its frame
// lock, as the views read them when they paint. Serves the read-out under the
// pointer and the two-point measure; it never asks the camera for anything.

#include <QString>

class QMutex;
namespace twl {
class Mat;
}

class FrameProbe {
public:
    struct Sample {
        bool inside = false;   // the fraction lies on the picture and a frame is bound
        bool hasDepth = false; // the pixel has depth (then the fields below are set)
        int col = -1, row = -1;
        float x = 0, y = 0, z = 0; // metres; the camera looks along -Z
        float depth = 0;           // metres in front of the camera (-z)
        float confidence = 0;      // 0 to 100
    };

    /// Binds the point-cloud matrix (XYZ and colour word per pixel), the
    /// confidence matrix (one float per pixel, may be null) and the frame
    /// lock (null: read without it). unbind() before they go.
    void bind(const twl::Mat *points, const twl::Mat *confidence, QMutex *frameMutex);
    void unbind() { bind(nullptr, nullptr, nullptr); }
    bool isBound() const { return points_ != nullptr; }

    /// The pixel of a `width` x `height` matrix under the fraction (fx, fy)
    /// of the picture: the same truncation the measured point has always had.
    /// False outside the picture.
    static bool pixelAt(double fx, double fy, int width, int height, int *col, int *row);
    /// Whether a picked fraction names a point: never set (-1), or column 0 or
    /// row 0 (where the store's reset puts it), picks nothing.
    static bool isPicked(double fx, double fy, int width, int height);

    Sample sample(double fx, double fy) const;
    /// "1.24 m   X 0.31  Y -0.12  Z -1.24 m   confidence 87" or "no depth".
    static QString describe(const Sample &sample);

    /// The two points of the measure (PARAM_CLICK_* and PARAM_CLICK2_*) in
    /// the current frame; `length` is their distance, -1 unless both have depth.
    struct Measure {
        bool first = false, second = false; // picked
        Sample a, b;
        float length = -1.0f;
    };
    Measure measure() const;
    /// "0.45 m"
    static QString lengthText(float metres);

private:
    const twl::Mat *points_ = nullptr;
    const twl::Mat *confidence_ = nullptr;
    QMutex *frameMutex_ = nullptr;
};
