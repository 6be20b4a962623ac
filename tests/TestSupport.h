#pragma once
// Helpers shared by the test programs.

#include <QPoint>
#include <QRgb>
#include <QString>
#include <QStringList>

#include <memory>

class GUI;
class QComboBox;
namespace twl {
struct TwvHeader;
}

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

/// The texts of a combo box's entries, in order.
QStringList items(const QComboBox *c);
/// A freshly reset, built and shown main window.
std::unique_ptr<GUI> makeWindow(int w = 1280, int h = 720, QPoint pos = QPoint());

/// Recording header of a plausible camera; callers set the calibration they check.
twl::TwvHeader twvHeader(int w, int h);

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
