// The depth look (colour map, range, point-cloud colours), the read-out under
// the pointer and the two-point measure.
#include "gui/GUI.h"

#include "common/GlobalParams.h"
#include "gui/GuiStyle.h"
#include "render/FrameProbe.h"
#include "render/OGL2DWidget.h"
#include "render/OGL3DWidget.h"
#include "twl/palette/DepthColormap.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QFontMetrics>
#include <QKeySequence>
#include <QLabel>
#include <QShortcut>
#include <QTimer>
#include <QToolButton>

namespace {
// The read-out follows the pointer at most this often: each new text makes a
// software renderer compose the whole window again.
constexpr int kReadoutIntervalMs = 40;
constexpr int kNoticeMs = 2000;
} // namespace

void GUI::buildDepthControls() {
    GuiStyle &s = *style;
    colourLabel = s.makeLabel(this, 0, 0, 50, 25, QString(), s.labelFont, "Colours");
    colourCombo = s.makeComboBox(this, 0, 0, 105, 25, s.comboSheet, s.labelFont, 0);
    for (int i = 0; i < twl::DepthColormap::kCount; ++i)
        colourCombo->addItem(twl::DepthColormap::title(twl::DepthColormap::fromIndex(i)));
    colourCombo->setToolTip("Colour map of the depth picture (near is the warm or bright end)");
    depthView->showsDepthScale = true;

    frameProbe = new FrameProbe;
    imageView->probe = frameProbe;
    depthView->probe = frameProbe;
    readoutLabel = new QLabel(this);
    readoutLabel->setFont(s.labelFont);
    readoutLabel->setStyleSheet("background-color: rgba(0, 0, 0, 170); color: #f0f0f0; padding: 2px 6px;");
    readoutLabel->setAttribute(Qt::WA_TransparentForMouseEvents);
    readoutLabel->hide();
    readoutTimer = new QTimer(this);
    readoutTimer->setSingleShot(true);
    readoutTimer->setInterval(kReadoutIntervalMs);
    noticeTimer = new QTimer(this);
    noticeTimer->setSingleShot(true);
    noticeTimer->setInterval(kNoticeMs);
    escapeShortcut = new QShortcut(QKeySequence(Qt::Key_Escape), this, nullptr, nullptr, Qt::WindowShortcut);
}

int GUI::buildDepthSettings(QWidget *parent, int y) {
    GuiStyle &s = *style;
    const int rowX = 72, ctrlX = 213;
    const auto row = [&](QLabel *&label, const QString &title, QToolButton *&left, const QString &leftText,
                         QToolButton *&right, const QString &rightText, QButtonGroup *&group) {
        label = new QLabel(parent);
        label->setGeometry(rowX, y, 156, 25);
        label->setFont(s.labelFont);
        label->setText(title);
        label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        left = new QToolButton(parent);
        setupButton(left, ctrlX, y, 130, 25, s.segmentLeftSheet, leftText, 0);
        right = new QToolButton(parent);
        setupButton(right, ctrlX + 130, y, 130, 25, s.segmentRightSheet, rightText, 0);
        group = new QButtonGroup(parent);
        group->setExclusive(true);
        for (QToolButton *b : {left, right}) {
            b->setCheckable(true);
            group->addButton(b);
        }
        left->setChecked(true);
        y += 25 + 10;
    };
    row(depthRangeLabel, "Depth range", autoRangeButton, "AUTO", fixedRangeButton, "FIXED", depthRangeGroup);
    autoRangeButton->setToolTip("The depth picture spans the depths in view");
    fixedRangeButton->setToolTip("The depth picture spans the nearest allowed depth to the maximum range");
    row(cloudColourLabel, "Cloud colours", imageColourButton, "IMAGE", depthColourButton, "DEPTH",
        cloudColourGroup);
    depthColourButton->setToolTip("Points take the depth picture's colours");
    return y;
}

void GUI::connectDepthControls() {
    connect(colourCombo, SIGNAL(currentIndexChanged(int)), this, SLOT(changeColormap(int)));
    connect(fixedRangeButton, SIGNAL(toggled(bool)), this, SLOT(changeDepthRange(bool)));
    connect(depthColourButton, SIGNAL(toggled(bool)), this, SLOT(changeCloudColours(bool)));
    connect(escapeShortcut, &QShortcut::activated, this, &GUI::clearMeasure);
    connect(readoutTimer, &QTimer::timeout, this, &GUI::refreshReadout);
    connect(noticeTimer, &QTimer::timeout, this, [this] {
        readoutNotice.clear();
        refreshReadout();
    });
    for (OGL2DWidget *view : {imageView, depthView}) {
        connect(view, &OGL2DWidget::pointerMoved, this, [this, view](QPointF f) { pointerOver(view, f); });
        connect(view, &OGL2DWidget::pointerLeft, this, [this, view] { pointerGone(view); });
        connect(view, &OGL2DWidget::secondPointPicked, this, &GUI::pickSecondPoint);
    }
}

void GUI::placeSelectorRow(int rowY) {
    // View, Data and Colours share the width of the image view, the free width in four.
    const QFontMetrics fm(style->labelFont);
    QLabel *labels[3] = {viewLabel, dataLabel, colourLabel};
    QComboBox *combos[3] = {viewCombo, dataCombo, colourCombo};
    int used = 0;
    for (QLabel *l : labels)
        used += fm.horizontalAdvance(l->text()) + 5 + 105;
    const int gap = std::max(4, (imageView->width() - used) / 4);
    int x = imageView->x() + gap;
    for (int i = 0; i < 3; ++i) {
        labels[i]->setGeometry(x, rowY, fm.horizontalAdvance(labels[i]->text()), 25);
        combos[i]->setGeometry(labels[i]->x() + labels[i]->width() + 5, rowY, 105, 25);
        x = combos[i]->x() + 105 + gap;
    }
}

void GUI::changeColormap(int index) {
    if (index < 0 || index >= twl::DepthColormap::kCount) index = 0;
    GlobalParams::setInt(PARAM_DEPTH_COLORMAP, index);
    updateViews();
}

void GUI::changeDepthRange(bool) {
    GlobalParams::setInt(PARAM_DEPTH_RANGE, fixedRangeButton->isChecked() ? 1 : 0);
}

void GUI::changeCloudColours(bool) {
    GlobalParams::setInt(PARAM_CLOUD_COLORS, depthColourButton->isChecked() ? 1 : 0);
}

void GUI::updateViews() {
    imageView->update();
    depthView->update();
    pointCloudView->update();
}

void GUI::clearMeasure() {
    for (int i : {PARAM_CLICK_X, PARAM_CLICK_Y, PARAM_CLICK2_X, PARAM_CLICK2_Y})
        GlobalParams::setDouble(i, -1.0);
    readoutNotice.clear();
    refreshReadout();
    updateViews();
}

void GUI::pickSecondPoint(QPointF fraction) {
    const int w = GlobalParams::getInt(PARAM_DISPLAY_WIDTH), h = GlobalParams::getInt(PARAM_DISPLAY_HEIGHT);
    const double ax = GlobalParams::getDouble(PARAM_CLICK_X), ay = GlobalParams::getDouble(PARAM_CLICK_Y);
    if (!FrameProbe::isPicked(ax, ay, w, h)) {
        // Nothing to measure from yet: this is the first point.
        GlobalParams::setDouble(PARAM_CLICK_X, fraction.x());
        GlobalParams::setDouble(PARAM_CLICK_Y, fraction.y());
        updateViews();
        return;
    }
    if (!frameProbe->sample(ax, ay).hasDepth) {
        showReadoutNotice("The first point has no depth: click another one");
        return;
    }
    if (!frameProbe->sample(fraction.x(), fraction.y()).hasDepth) {
        showReadoutNotice("No depth at that point: pick another one");
        return;
    }
    GlobalParams::setDouble(PARAM_CLICK2_X, fraction.x());
    GlobalParams::setDouble(PARAM_CLICK2_Y, fraction.y());
    updateViews();
}

void GUI::showReadoutNotice(const QString &text) {
    readoutNotice = text;
    noticeTimer->start();
    refreshReadout();
}

void GUI::pointerOver(OGL2DWidget *view, QPointF fraction) {
    readoutView = view->picksPoints() ? view : nullptr;
    readoutAt = fraction;
    if (!readoutTimer->isActive()) readoutTimer->start();
}

void GUI::pointerGone(OGL2DWidget *view) {
    if (readoutView != view) return;
    readoutView = nullptr;
    readoutTimer->stop();
    refreshReadout();
}

void GUI::refreshReadout() {
    OGL2DWidget *view = readoutView;
    if (!view && readoutNotice.isEmpty()) {
        readoutLabel->hide();
        return;
    }
    QString text = readoutNotice;
    if (text.isEmpty()) text = FrameProbe::describe(frameProbe->sample(readoutAt.x(), readoutAt.y()));
    if (text.isEmpty()) {
        readoutLabel->hide();
        return;
    }
    // Over the lower-left corner of the picture the pointer is on (the depth view for a notice).
    OGL2DWidget *over = view ? view : depthView;
    if (readoutLabel->text() != text || !readoutLabel->isVisible()) {
        readoutLabel->setText(text);
        readoutLabel->adjustSize();
        const QRect box = over->letterbox();
        readoutLabel->move(over->x() + box.x() + 6, over->y() + box.bottom() - readoutLabel->height() - 5);
        readoutLabel->show();
        readoutLabel->raise();
    }
}

QString GUI::readoutText() const {
    return readoutLabel && readoutLabel->isVisible() ? readoutLabel->text() : QString();
}
