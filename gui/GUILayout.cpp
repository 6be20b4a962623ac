// Placement of the main window's children. No layout managers: everything is
// arithmetic on the window size, redone on every resize.
#include "gui/GUI.h"

#include "gui/GuiStyle.h"
#include "gui/LogoScreen.h"
#include "render/OGL2DWidget.h"
#include "render/OGL3DWidget.h"

#include <QComboBox>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QResizeEvent>
#include <QSlider>
#include <QSpinBox>
#include <QSvgRenderer>
#include <QToolButton>

#include <algorithm>

namespace {
int rightEdge(const QWidget *w) {
    return w->x() + w->width();
}
int bottomEdge(const QWidget *w) {
    return w->y() + w->height();
}
int margin(int width) {
    return static_cast<int>(width * 0.0095);
}
} // namespace

void GUI::placeStatusLabel() {
    if (inputState == 0)
        statusLabel->setGeometry(rightEdge(recordButton) + 10, resolutionCombo->y(), 500,
                                 resolutionCombo->height());
    else if (inputState == 2)
        // Live, nothing sits between the rate and the identity group: room
        // for a message such as a control the camera refused.
        statusLabel->setGeometry(
            rightEdge(fpsCombo) + 10, resolutionCombo->y(),
            std::clamp(idLabel->x() - margin(width()) - rightEdge(fpsCombo) - 10, 110, 500),
            resolutionCombo->height());
    else
        statusLabel->setGeometry(rightEdge(fpsCombo) + 10, resolutionCombo->y(), 110,
                                 resolutionCombo->height());
}

void GUI::placeFileNameLabel() {
    // The name takes what the identity group leaves, and gives way first.
    const int m = margin(width());
    const int x = rightEdge(statusLabel) + m;
    const int w = std::max(0, idLabel->x() - m - x);
    fileNameLabel->setGeometry(x, fpsField->y(), w, 25);
    if (fileName.isEmpty()) return;
    QFont italic = fileNameLabel->font();
    italic.setItalic(true);
    const QString shown = QFontMetrics(italic).elidedText(fileName, Qt::ElideMiddle, w);
    fileNameLabel->setText("<i>" + shown.toHtmlEscaped() + "</i>");
}

void GUI::setFileName(const QString &name) {
    fileName = name;
    fileNameLabel->setToolTip(name);
    placeFileNameLabel();
}

void GUI::placeIdentityGroup() {
    // Where it always was, unless wider fonts would push the settings button
    // closer than half a margin to the window's edge (or past it): then it is
    // laid out from that edge.
    const int W = width();
    const int m = margin(W);
    const QFontMetrics fm(style->labelFont);
    const int idW = fm.horizontalAdvance(idLabel->text()), idFieldW = fm.horizontalAdvance("XXX");
    const int snW = fm.horizontalAdvance(serialLabel->text()), snFieldW = fm.horizontalAdvance("XXXXXXXXX");
    const int groupW = idW + 5 + idFieldW + 5 + snW + 5 + snFieldW + 5 + 25;
    const int idY = liveButton->y();
    idLabel->setGeometry(std::min(W - m - 160, W - m / 2 - groupW), idY, idW, 25);
    idField->setGeometry(rightEdge(idLabel) + 5, idY, idFieldW, 25);
    serialLabel->setGeometry(rightEdge(idField) + 5, idY, snW, 25);
    serialField->setGeometry(rightEdge(serialLabel) + 5, idY, snFieldW, 25);
    settingsButton->setGeometry(rightEdge(serialField) + 5, idY, 25, 25);
}

void GUI::resizeEvent(QResizeEvent *event) {
    QMainWindow::resizeEvent(event);
    if (!liveButton || !recordButton) return; // not built yet

    const int W = event->size().width();
    const int H = event->size().height();
    const int m = margin(W);
    const int logoH = std::max(static_cast<int>(H * 0.03), 25);
    const QSize def = logoRenderer->defaultSize();
    const int logoW = def.height() > 0
                          ? static_cast<int>(static_cast<float>(def.width()) /
                                             static_cast<float>(def.height()) * static_cast<float>(logoH))
                          : 0;
    const int top = logoH + 2 * m;
    int viewW = static_cast<int>(W * 0.45);
    const int viewH = (H - 2 * m - top - 75) / 2;
    const int cloudH = 2 * (viewH + m) + 25;

    logoRect = QRectF(m, m, logoW, logoH);

    // Keep the 2D views no wider than a 16:9 picture of the height they get.
    const float neededH = 2.0f * (static_cast<float>(viewW) / 1.7777778f) + static_cast<float>(top) +
                          static_cast<float>(4 * m + 50);
    if (static_cast<float>(H) < static_cast<float>(static_cast<int>(neededH)))
        viewW = static_cast<int>((H - (4 * m + 50) - top) * 0.5 * static_cast<double>(16.0f / 9.0f));

    // Top band.
    const int y0 = static_cast<int>((top - 25) * 0.5);
    liveButton->setGeometry(static_cast<int>(logoRect.right() + m), y0, 35, 25);
    loadFileButton->setGeometry(static_cast<int>(rightEdge(liveButton) + 0.8 * m), y0, 35, 25);
    recordButton->setGeometry(static_cast<int>(rightEdge(loadFileButton) + 0.8 * m), y0, 35, 25);
    const int comboY = (top - 25) / 2 + 1;
    resolutionCombo->setGeometry(rightEdge(recordButton) + 10, comboY, 90, 25);
    fpsCombo->setGeometry(rightEdge(resolutionCombo) + 5, comboY, 55, 25);
    resolutionField->setGeometry(resolutionCombo->geometry());
    fpsField->setGeometry(fpsCombo->geometry());
    placeStatusLabel();
    placeIdentityGroup();
    placeFileNameLabel();
    placeRecordLabel();

    // Views.
    imageView->setGeometry(m, top, viewW, viewH);
    depthView->setGeometry(m, bottomEdge(imageView) + 2 * m + 25, viewW, viewH);
    pointCloudView->setGeometry(viewW + 2 * m, imageView->y(), W - (viewW + 2 * m) - m, cloudH);
    const QRect cloud = pointCloudView->geometry();
    logoScreen->setGeometry(static_cast<int>(cloud.x() + 0.1 * cloud.width()),
                            static_cast<int>(cloud.y() + 0.1 * cloud.height()),
                            static_cast<int>(0.8 * cloud.width()), static_cast<int>(0.8 * cloud.height()));

    // Selector row between the two 2D views.
    placeSelectorRow(bottomEdge(imageView) + m);

    // Playback bar under the lower 2D view.
    const int barY = bottomEdge(depthView) + m;
    stopButton->setGeometry(static_cast<int>(W * 0.25), barY, 25, 25);
    pauseButton->setGeometry(rightEdge(stopButton) + m, barY, 25, 25);
    frameSlider->setGeometry(rightEdge(pauseButton) + m, barY, static_cast<int>(W * 0.5) - (m + 2 * (m + 50)),
                             25);
    frameSpinBox->setGeometry(rightEdge(frameSlider) + m, barY, 50, 25);
    speedCombo->setGeometry(rightEdge(frameSpinBox), barY, 85, 25);

    // Status line.
    const int s = stopButton->x() - depthView->x();
    fpsLabel->setGeometry(depthView->x(), H - 50, s, 25);
    fpsLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    cpuGpuLabel->setGeometry(depthView->x(), H - 25, s, 25);
    cpuGpuLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    cpuGpuLabel->setFont(style->labelFont);
    versionLabel->setGeometry(W - m - 55, H - 25, 55, 20);
    versionLabel->setAlignment(Qt::AlignRight);
}
