#pragma once
// The camera's image controls in a window of their own, opened from the
// settings window: one row per control the camera lists (a slider and its
// value for integers, a switch for booleans, a list for menus), inactive
// controls greyed, and "Reset to defaults". The rows follow whatever the
// camera reports; the window only asks for changes and shows the answers.

#include "twl/core/CameraControl.h"

#include <QString>
#include <QWidget>

#include <vector>

class GuiStyle;
class QCheckBox;
class QComboBox;
class QLabel;
class QScrollArea;
class QSlider;
class QToolButton;

class CameraControlsWindow : public QWidget {
    Q_OBJECT

public:
    explicit CameraControlsWindow(const GuiStyle *style);

    /// Rows for a camera's controls. The same list again (another reading of
    /// the same camera) only moves values and greying, so that a slider
    /// being dragged stays under the mouse.
    void setControls(const std::vector<twl::CameraControl> &controls);
    /// No rows, and this instead ("Recordings have no camera controls.").
    void setUnavailable(const QString &why);
    /// A line under the rows, such as why the camera refused a value.
    void showMessage(const QString &text);
    QString message() const;

    /// The widget that sets the control with this key (slider, check box or
    /// list), or null; for tests and the layout.
    QWidget *editorOf(const QString &key) const;
    QToolButton *resetButton() const { return reset_; }

signals:
    /// The user chose a value.
    void controlChanged(quint32 id, int value);
    void resetRequested();

private:
    struct Row {
        twl::CameraControl control;
        QLabel *label = nullptr;
        QSlider *slider = nullptr;
        QLabel *valueLabel = nullptr;
        QCheckBox *check = nullptr;
        QComboBox *menu = nullptr;
    };
    void rebuild(const std::vector<twl::CameraControl> &controls);
    void update(Row &row, const twl::CameraControl &now);
    void showValue(Row &row, int32_t value);

    const GuiStyle *style_;
    QScrollArea *scroll_ = nullptr;
    QWidget *rows_ = nullptr;
    QLabel *empty_ = nullptr;
    QLabel *message_ = nullptr;
    QToolButton *reset_ = nullptr;
    std::vector<Row> rowList_;
};
