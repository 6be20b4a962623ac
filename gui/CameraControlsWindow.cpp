#include "gui/CameraControlsWindow.h"

#include "gui/GuiStyle.h"

#include <QCheckBox>
#include <QComboBox>
#include <QIcon>
#include <QLabel>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QSlider>
#include <QToolButton>

#include <algorithm>

namespace {
// Laid out like the settings window: names at 20, editors at 213, values
// right-aligned after the slider, rows 35 apart.
constexpr int kWidth = 520, kRowHeight = 35, kNameX = 20, kEditorX = 213, kEditorW = 187, kValueW = 72;
constexpr int kMostVisibleRows = 12;

bool sameControls(const std::vector<twl::CameraControl> &a, const std::vector<twl::CameraControl> &b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].id != b[i].id || a[i].type != b[i].type || a[i].minimum != b[i].minimum ||
            a[i].maximum != b[i].maximum || a[i].step != b[i].step || a[i].menu.size() != b[i].menu.size())
            return false;
    return true;
}
} // namespace

CameraControlsWindow::CameraControlsWindow(const GuiStyle *style) : QWidget(nullptr), style_(style) {
    setWindowTitle("Camera");
    setWindowIcon(QIcon(":/images/gear.png"));
    setStyleSheet(style_->backgroundSheet);

    scroll_ = new QScrollArea(this);
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    empty_ = new QLabel(this);
    empty_->setFont(style_->labelFont);
    empty_->setAlignment(Qt::AlignCenter);
    empty_->setWordWrap(true);
    message_ = new QLabel(this);
    message_->setFont(style_->labelFont);
    message_->setWordWrap(true);
    reset_ = new QToolButton(this);
    reset_->setStyleSheet(style_->buttonSheet);
    reset_->setText("Reset to defaults");
    connect(reset_, &QToolButton::clicked, this, &CameraControlsWindow::resetRequested);
    setUnavailable("No camera is open.");
}

void CameraControlsWindow::setUnavailable(const QString &why) {
    rebuild({});
    empty_->setText(why);
}

void CameraControlsWindow::showMessage(const QString &text) {
    message_->setText(text);
}

QString CameraControlsWindow::message() const {
    return message_->text();
}

QWidget *CameraControlsWindow::editorOf(const QString &key) const {
    for (const Row &row : rowList_)
        if (QString::fromStdString(row.control.key) == key)
            return row.slider  ? static_cast<QWidget *>(row.slider)
                   : row.check ? static_cast<QWidget *>(row.check)
                               : static_cast<QWidget *>(row.menu);
    return nullptr;
}

void CameraControlsWindow::setControls(const std::vector<twl::CameraControl> &controls) {
    std::vector<twl::CameraControl> shown;
    for (const Row &row : rowList_)
        shown.push_back(row.control);
    if (controls.empty()) {
        setUnavailable("This camera offers no image controls.");
        return;
    }
    if (!sameControls(shown, controls)) rebuild(controls);
    for (size_t i = 0; i < controls.size(); ++i)
        update(rowList_[i], controls[i]);
}

void CameraControlsWindow::showValue(Row &row, int32_t value) {
    const twl::CameraControl &c = row.control;
    const QSignalBlocker blockSlider(row.slider), blockCheck(row.check), blockMenu(row.menu);
    if (row.slider) {
        row.slider->setValue(int((int64_t(value) - c.minimum) / std::max(c.step, 1)));
        row.valueLabel->setText(QString::number(value));
    } else if (row.check) {
        row.check->setChecked(value != 0);
    } else if (row.menu) {
        const int at = row.menu->findData(value);
        if (at >= 0) row.menu->setCurrentIndex(at);
    }
}

void CameraControlsWindow::update(Row &row, const twl::CameraControl &now) {
    row.control = now;
    // A slider in the user's hand keeps its place; the camera's answer
    // shows once it is let go.
    if (!(row.slider && row.slider->isSliderDown())) showValue(row, now.value);
    for (QWidget *w : {static_cast<QWidget *>(row.label), static_cast<QWidget *>(row.slider),
                       static_cast<QWidget *>(row.valueLabel), static_cast<QWidget *>(row.check),
                       static_cast<QWidget *>(row.menu)})
        if (w) w->setEnabled(!now.inactive);
    row.label->setToolTip(now.inactive ? "Set by another control (an automatic mode) for now" : QString());
}

void CameraControlsWindow::rebuild(const std::vector<twl::CameraControl> &controls) {
    rowList_.clear();
    delete rows_;
    rows_ = new QWidget;
    rows_->setStyleSheet(style_->backgroundSheet);
    const GuiStyle &s = *style_;
    const Qt::Alignment leftMid = Qt::AlignLeft | Qt::AlignVCenter;
    int y = 10;
    for (const twl::CameraControl &c : controls) {
        Row row;
        row.control = c;
        row.label = new QLabel(QString::fromStdString(c.name), rows_);
        row.label->setGeometry(kNameX, y, kEditorX - kNameX - 8, 25);
        row.label->setFont(s.labelFont);
        row.label->setAlignment(leftMid);
        const quint32 id = c.id;
        switch (c.type) {
        case twl::CameraControl::Type::Integer: {
            row.slider = new QSlider(Qt::Horizontal, rows_);
            row.slider->setGeometry(kEditorX, y, kEditorW, 25);
            row.slider->setStyleSheet(s.sliderSheet);
            const int32_t step = std::max(c.step, 1);
            row.slider->setRange(0, int((int64_t(c.maximum) - c.minimum) / step));
            row.slider->setPageStep(std::max(1, row.slider->maximum() / 10));
            row.valueLabel = new QLabel(rows_);
            row.valueLabel->setGeometry(kEditorX + kEditorW, y, kValueW, 25);
            row.valueLabel->setFont(s.labelFont);
            row.valueLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
            QSlider *slider = row.slider;
            QLabel *value = row.valueLabel;
            const int32_t minimum = c.minimum;
            connect(slider, &QSlider::valueChanged, this, [this, id, value, minimum, step](int position) {
                const int v = int(int64_t(minimum) + int64_t(position) * step);
                value->setText(QString::number(v));
                emit controlChanged(id, v);
            });
            break;
        }
        case twl::CameraControl::Type::Boolean:
            row.check = new QCheckBox(rows_);
            row.check->setGeometry(kEditorX, y, kEditorW, 25);
            row.check->setStyleSheet(s.switchSheet);
            connect(row.check, &QCheckBox::toggled, this,
                    [this, id](bool on) { emit controlChanged(id, on ? 1 : 0); });
            break;
        case twl::CameraControl::Type::Menu:
        case twl::CameraControl::Type::IntegerMenu: {
            row.menu = new QComboBox(rows_);
            row.menu->setGeometry(kEditorX, y, kEditorW, 25);
            row.menu->setStyleSheet(s.comboSheet);
            row.menu->setFont(s.comboFont);
            for (const twl::CameraControl::MenuItem &item : c.menu)
                row.menu->addItem(QString::fromStdString(item.label), item.index);
            QComboBox *menu = row.menu;
            connect(menu, QOverload<int>::of(&QComboBox::activated), this,
                    [this, id, menu](int at) { emit controlChanged(id, menu->itemData(at).toInt()); });
            break;
        }
        }
        rowList_.push_back(row);
        y += kRowHeight;
    }
    rows_->setFixedSize(kWidth - 20, controls.empty() ? 0 : y);
    scroll_->setWidget(rows_);

    const int visible = std::min<int>(int(controls.size()), kMostVisibleRows);
    const int listH = controls.empty() ? 80 : visible * kRowHeight + 10;
    scroll_->setGeometry(0, 0, kWidth, listH);
    empty_->setGeometry(20, 0, kWidth - 40, listH);
    empty_->setVisible(controls.empty());
    scroll_->setVisible(!controls.empty());
    message_->setGeometry(kNameX, listH + 5, kWidth - 2 * kNameX, 40);
    reset_->setGeometry(kWidth - 20 - 150, listH + 50, 150, 25);
    reset_->setEnabled(!controls.empty());
    setFixedSize(kWidth, listH + 90);
    message_->clear();
}
