#pragma once
// Helpers shared by the test programs.

#include <QPoint>
#include <QRect>
#include <QRgb>
#include <QString>
#include <QStringList>

#include <memory>

class GUI;
class InputThreadModul;
class QImage;
namespace cv {
class Mat;
}
namespace twl {
class Mat;
struct TwvHeader;
} // namespace twl

namespace TestSupport {

#if defined(__SANITIZE_THREAD__)
/// Under the thread sanitizer the virtual camera and the matcher run many
/// times slower: waits for the viewer stretch by this factor.
constexpr int kSlow = 8;
#else
constexpr int kSlow = 1;
#endif

/// Folder for files the tests make (created on first use).
QString dataDir();
/// Path of the twv tool built with the tests.
QString twvTool();

struct ToolRun {
    int exitCode; // -2 for a crash or a run past two minutes
    QString out, err;
};
/// Runs the twv tool; with `limitKiB` its writes past that size fail as on a full disk.
ToolRun runTwv(const QStringList &arguments, int limitKiB = 0);

/// Whether every channel of `c` is within `tolerance` of (r, g, b).
bool near(QRgb c, int r, int g, int b, int tolerance = 3);
/// "(r, g, b)" for failure messages.
QString describe(QRgb c);
/// Pixels of `image` within `area` (all of it when empty) that are near (r, g, b).
int countNear(const QImage &image, int r, int g, int b, int tolerance, QRect area = QRect());

/// Fills columns [x0, x1) and rows [y0, y1) of a BGRA device matrix, opaque.
void fill(twl::Mat &m, int x0, int x1, int y0, int y1, uchar b, uchar g, uchar r);
/// Host copy (BGRA, or four floats) of a capture thread's device matrix, read under its frame lock.
cv::Mat frameCopy(InputThreadModul *t, const twl::Mat &device);
/// A freshly reset, built and shown main window.
std::unique_ptr<GUI> makeWindow(int w = 1280, int h = 720, QPoint pos = QPoint());

/// Recording header of a plausible camera (focal length the width); callers set the calibration they check.
twl::TwvHeader twvHeader(int w, int h);
/// Spoils the pictures of frames `which` (0-based) of a recording, leaving header and index: they no longer
/// decode.
bool damageFrames(const QString &path, const QList<int> &which);
/// The whole file, empty when it cannot be read.
QByteArray readFile(const QString &path);

/// The multisampled, double-buffered default surface the application asks for;
/// call before the QApplication exists.
void useAppSurfaceFormat();

/// While one lives, modal boxes are expected (a test closes them itself).
/// Any other modal box is closed at once and fails the running test: it
/// would otherwise wait for a click that never comes and block the suite.
class ExpectModal {
public:
    ExpectModal();
    ~ExpectModal();
    ExpectModal(const ExpectModal &) = delete;
    ExpectModal &operator=(const ExpectModal &) = delete;
};

} // namespace TestSupport
