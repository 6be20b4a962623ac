// Recording from the window: the record button and Ctrl+R, the recording
// line of the top band, the codec row of the settings window, and what is
// held still while a recording runs.
#include "gui/GUI.h"

#include "gui/GuiStyle.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QKeySequence>
#include <QLabel>
#include <QShortcut>
#include <QToolButton>

#include <algorithm>

namespace {
const char *const kRecordTip = "Record the live camera (Ctrl+R)";
const char *const kStopTip = "Stop recording (Ctrl+R)";
const char *const kHeldTip = "Stop the recording first (Ctrl+R): this would reopen the camera";
const char *const kRateHeldTip =
    "Stop the recording first (Ctrl+R): the recording keeps the rate it started with";
int rightOf(const QWidget *w) {
    return w->x() + w->width();
}
} // namespace

void GUI::buildRecordWidgets() {
    GuiStyle &s = *style;
    recordButton = s.makeToolButton(this, rightOf(loadFileButton), loadFileButton->y(), 35, 25, s.recordSheet,
                                    QString(), 0);
    // Checked shows the red of a recording; the application sets it from
    // what really runs, so a start that fails does not stay red.
    recordButton->setCheckable(true);
    recordShortcut = new QShortcut(QKeySequence("Ctrl+R"), this, nullptr, nullptr, Qt::WindowShortcut);
    connect(recordShortcut, &QShortcut::activated, recordButton, &QToolButton::click);
    connect(recordButton, &QToolButton::clicked, this, [this] { recordButton->setChecked(recording); });

    recordLabel = s.makeLabel(this, 0, loadFileButton->y(), 0, 25, QString(), s.labelFont, QString());
    recordLabel->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    recordLabel->hide();

    // The settings window's last row, under the snapshot rows.
    const int y = pointCloudFormatCombo->y() + 35;
    recordSaveLabel = new QLabel(settingsWindow);
    recordSaveLabel->setGeometry(pointCloudSaveLabel->x(), y, pointCloudSaveLabel->width(), 25);
    recordSaveLabel->setFont(s.labelFont);
    recordSaveLabel->setText("Record");
    recordCodecCombo = new QComboBox(settingsWindow);
    setupComboBox(recordCodecCombo, pointCloudFormatCombo->x(), y, pointCloudFormatCombo->width(), 25,
                  s.comboSheet, s.comboFont, 3);
    recordCodecCombo->addItems({"JPEG", "lossless"});
    recordCodecCombo->setToolTip("How recordings are compressed: JPEG is small, lossless keeps every pixel");
    settingsWindow->setFixedSize(settingsWindow->width(), y + 25 + 15);
    updateRecordButton();
}

void GUI::updateRecordButton() {
    if (!recordButton) return;
    recordButton->setChecked(recording);
    if (recording) {
        recordButton->setEnabled(true);
        recordButton->setToolTip(kStopTip);
        return;
    }
    recordButton->setEnabled(inputState == 2);
    switch (inputState) {
    case 2:
        recordButton->setToolTip(kRecordTip);
        break;
    case 3:
        recordButton->setToolTip("Recording needs a live camera: a recorded file is playing");
        break;
    default:
        recordButton->setToolTip("Recording needs a live camera: none is open");
        break;
    }
}

void GUI::setRecording(bool on) {
    if (on == recording) return;
    recording = on;
    if (on) {
        heldControls.clear();
        QWidget *const held[] = {resolutionCombo,    perfButton, mediumButton, qualityButton,   ultraButton,
                                 stabilizationCheck, liveButton, fpsCombo,     recordCodecCombo};
        for (QWidget *w : held) {
            heldControls.append({w, w->isEnabled(), w->toolTip()});
            w->setEnabled(false);
            w->setToolTip(w == fpsCombo ? kRateHeldTip
                          : w == recordCodecCombo
                              ? "Stop the recording first (Ctrl+R): the recording keeps its codec"
                              : kHeldTip);
        }
    } else {
        for (const HeldControl &held : heldControls) {
            held.widget->setEnabled(held.enabled);
            held.widget->setToolTip(held.toolTip);
        }
        heldControls.clear();
    }
    updateRecordButton();
}

void GUI::setRecordText(const QString &text, bool warning, const QString &details) {
    recordText = text;
    recordLabel->setStyleSheet("color : " + (warning ? style->warningColor : style->accentColor));
    recordLabel->setToolTip(details.isEmpty() ? text : details);
    recordLabel->setVisible(!text.isEmpty());
    placeRecordLabel();
}

void GUI::placeRecordLabel() {
    if (!recordLabel) return;
    // After what the status label says (it is wider than its words when no
    // input is open), up to the identity group.
    const QFontMetrics fm(style->labelFont);
    const int m = std::max(10, static_cast<int>(width() * 0.0095));
    const int statusEnd =
        inputState == 3
            ? rightOf(fileNameLabel)
            : std::min(rightOf(statusLabel), statusLabel->x() + fm.horizontalAdvance(statusLabel->text()));
    const int x = statusEnd + m;
    const int w = std::max(0, idLabel->x() - m - x);
    recordLabel->setGeometry(x, statusLabel->y(), w, 25);
    recordLabel->setText(fm.elidedText(recordText, Qt::ElideMiddle, w));
}
