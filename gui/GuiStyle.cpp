#include "gui/GuiStyle.h"

#include <QComboBox>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>

// The resources live in a static library; without an explicit reference the
// linker drops their registration.
static void registerResources() {
    Q_INIT_RESOURCE(resources);
}

namespace {

// Nunito Sans is listed so that a build which ships it picks it up; without
// the files the registration simply fails and the sheets fall back.
const char *const kFonts[] = {
    ":/font/Roboto-Medium.ttf",       ":/font/Roboto-Bold.ttf",      ":/font/Roboto-Regular.ttf",
    ":/font/NunitoSans-Regular.ttf",  ":/font/NunitoSans-Light.ttf", ":/font/NunitoSans-Bold.ttf",
    ":/font/NunitoSans-SemiBold.ttf",
};

QFont makeFont(int pointSize, int weight) {
    QFont font("Helvetica", pointSize, weight);
    font.setStyleStrategy(QFont::PreferAntialias);
    return font;
}

} // namespace

GuiStyle::GuiStyle() {
    registerResources();
    for (const char *path : kFonts)
        QFontDatabase::addApplicationFont(QString::fromLatin1(path));

    darkColor = "rgb(52,73,94)";
    greyColor = "rgb(149,165,166)";
    silverColor = "rgb(189,195,199)";
    lightColor = "rgb(236,240,241)";
    accentColor = "rgb(0,172,236)";
    accentDarkColor = "rgb(0,153,204)";
    whiteColor = "rgb(255,255,255)";
    blackColor = "rgb(0,0,0)";
    textColor = "rgb(52,73,52)";
    warningColor = "rgb(231,76,60)";

    const QFont arial("Arial", 10);
    baseFontSize = baseFontSizeForWidth(QFontMetrics(arial).horizontalAdvance("1234"));

    comboFont = makeFont(baseFontSize + 1, 57);
    titleFont = makeFont(baseFontSize, 81);
    labelFont = makeFont(baseFontSize, 57);

    buildSheets();
}

int GuiStyle::baseFontSizeForWidth(int width) {
    // A platform without font metrics reports 0; keep the designed size then.
    if (width <= 0) return 10;
    return static_cast<int>(280.0f / static_cast<float>(width));
}

void GuiStyle::buildSheets() {
    fontCss = QString("font-family:") + "Helvetica" + "; font-weight:Medium; font-size:15px; ";

    buttonSheet = "QAbstractButton{" + fontCss + "color:" + whiteColor + ";background-color:" + accentColor +
                  ";border-radius:4px;}QAbstractButton:checked{background-color:" + accentDarkColor +
                  ";}QAbstractButton:hover{background-color:" + accentDarkColor +
                  ";}QAbstractButton:disabled{color:" + blackColor + ";background-color:" + greyColor + ";}";

    // Held while a recording runs: greyed like the right segment always was.
    const QString segmentDisabledChecked =
        "QToolButton::checked:disabled{background-color:" + silverColor + ";color:" + whiteColor + ";}";
    const QString segmentDisabled =
        "QToolButton:disabled{color:rgb(127, 140, 141);border-color:rgb(189, 195, 199);}" + segmentDisabledChecked;
    segmentLeftSheet =
        "QToolButton{font-family:'Helvetica';font-weight:bold;font-size:12px;color:rgb(78, 78, "
        "78);border:2px solid " +
        accentColor +
        ";border-radius:0px;border-top-left-radius:4px;border-bottom-left-radius:4px;border-"
        "right:1px solid " +
        accentColor + ";}QToolButton::checked{background-color:" + accentColor + ";color:rgb(252,252,252);}" +
        segmentDisabled;

    segmentMiddleSheet =
        "QToolButton{font-family:'Helvetica';font-weight: bold;font-size: 12px;color:rgb(78, 78, "
        "78);border:1px solid " +
        accentColor + ";border-top:2px solid " + accentColor + ";border-bottom:2px solid " + accentColor +
        ";border-radius:0px;}QToolButton::checked{background-color:" + accentColor +
        ";color:rgb(252,252,252);}" + segmentDisabled;

    segmentRightSheet =
        "QToolButton{font-family:'Helvetica';font-weight:bold;font-size:12px;color:rgb(78, 78, "
        "78);border:2px solid " +
        accentColor +
        ";border-radius:0px;border-bottom-right-radius:4px;border-top-right-radius:4px;border-"
        "left:1px solid " +
        accentColor + ";}QToolButton::checked{background-color:" + accentColor +
        ";color:rgb(252,252,252);}QToolButton:disabled{color:rgb(127, 140, "
        "141);border-color:rgb(189, 195, 199);}" +
        segmentDisabledChecked;

    comboSheet = "QComboBox{" + fontCss + "border:2px solid " + accentColor +
                 ";border-radius:4px;color:" + textColor + ";background-color:" + whiteColor +
                 ";}QComboBox:disabled{ " + fontCss + "border:2px solid " + darkColor +
                 ";border-radius:4px;color:" + textColor + ";background-color:" + lightColor +
                 ";}QComboBox::drop-down{subcontrol-origin:padding;subcontrol-position:top "
                 "right;width:20px;background-color:" +
                 whiteColor +
                 ";}QComboBox::down-arrow{image:url(:/images/"
                 "combo_arrow.png);padding-left:3px;width:12px;}QComboBox "
                 "QAbstractItemView{border:1px solid " +
                 accentColor + ";color:" + textColor +
                 ";border-radius:0px;selection-background-color:" + accentColor + ";}";

    sliderSheet = "QSlider::groove:horizontal{background:rgb(204,204,204);height:3px;margin-left:8px;"
                  "margin-right:8px;}QSlider::handle:horizontal{image:url(:/images/slider.png); height: "
                  "20px;width: "
                  "20px;margin-top:-8px;margin-bottom:-8px;margin-left:-8px;margin-right:-8px;}QSlider::"
                  "handle:horizontal:hover{image:url(:/images/slider_un.png); "
                  "}QSlider::add-page:horizontal{background:" +
                  silverColor + ";}QSlider::sub-page:horizontal{background:" + accentColor +
                  ";}QSlider::handle:horizontal:hover{image:url(:/images/slider_un.png); "
                  "}QSlider::handle:horizontal:disabled{image:url(:/images/slider_off.png); height: "
                  "20px;width: "
                  "20px;margin-top:-8px;margin-bottom:-8px;margin-left:-8px;margin-right:-8px;}QSlider::"
                  "sub-page:horizontal:disabled{background:" +
                  greyColor + ";}";

    backgroundSheet = "background-color:" + whiteColor + ";";

    fieldSheet = fontCss + "border-radius: 4px;color:" + greyColor + ";border:1px solid " + darkColor +
                 ";background-color:" + lightColor + ";selection-color:" + whiteColor +
                 ";selection-background-color:" + blackColor + ";";

    switchSheet = "QCheckBox::indicator:unchecked{padding-top:3px;image:url(:/images/"
                  "OFF_SMALL.png);height:18px;width:45px;}QCheckBox::indicator:checked "
                  "{padding-top:3px;image:url(:/images/ON_SMALL.png);height:18px;width:45px;}QCheckBox::"
                  "indicator:unchecked:hover "
                  "{padding-top:3px;image:url(:/images/OFF_SMALL_HOVER.png);height:18px;width:45px;}"
                  "QCheckBox::indicator:checked:hover "
                  "{padding-top:3px;image:url(:/images/ON_SMALL_HOVER.png);height:18px;width:45px;}";

    spinBoxSheet =
        "QSpinBox{border:0px solid;color:" + darkColor +
        ";}QSpinBox::up-button{border:0px solid;color:" + whiteColor +
        ";image:url(:/images/plus.png); }QSpinBox::down-button{border:0px solid;color:" + whiteColor +
        ";image:url(:/images/minus.png); }";

    const QString imageButton = "QToolButton{border:0px solid;color:" + whiteColor;
    pauseSheet = imageButton + ";image:url(:/images/pause.png);}QToolButton:checked{image:url(:/images/"
                               "play.png);}";
    stopSheet = imageButton + ";image:url(:/images/stop.png);}";
    gearSheet = imageButton + ";image:url(:/images/gear.png);}QToolButton:checked{image:url(:/images/"
                              "gear_hover.png);}QToolButton:hover{image:url(:/images/gear_hover.png);}"
                              "QToolButton:disabled{image:url(:/images/gear_un.png);}";
    liveSheet = imageButton + ";image:url(:/images/video.png);}QToolButton:checked{image:url(:/images/"
                              "video_on.png);}QToolButton:hover{image:url(:/images/video_hover.png);}"
                              "QToolButton:hover:checked{image:url(:/images/video_on_hover.png);}"
                              "QToolButton:disabled{image:url(:/images/video_un.png);}";
    fileSheet = imageButton +
                ";image:url(:/images/TWV_lib2.png);}QToolButton:checked{image:url(:/images/"
                "TWV_lib_hover2.png);}QToolButton:hover{image:url(:/images/TWV_lib_hover2.png);}";
    // Drawn as vector pictures; checked is the red of a recording under way.
    recordSheet = imageButton + ";image:url(:/SVG/record.svg);}QToolButton:hover{image:url(:/SVG/"
                                "record_hover.svg);}QToolButton:checked{image:url(:/SVG/record_on.svg);}"
                                "QToolButton:hover:checked{image:url(:/SVG/record_on_hover.svg);}"
                                "QToolButton:disabled{image:url(:/SVG/record_un.svg);}";
}

QToolButton *GuiStyle::makeToolButton(QWidget *parent, int x, int y, int w, int h, const QString &sheet,
                                      const QString &text, int id) const {
    auto *button = new QToolButton(parent);
    button->setGeometry(x, y, w, h);
    button->setObjectName(QString::number(id));
    if (!sheet.isEmpty()) button->setStyleSheet(sheet);
    button->setText(text);
    return button;
}

QComboBox *GuiStyle::makeComboBox(QWidget *parent, int x, int y, int w, int h, const QString &sheet,
                                  const QFont &font, int id) const {
    auto *combo = new QComboBox(parent);
    combo->setGeometry(x, y, w, h);
    combo->setObjectName(QString::number(id));
    if (!sheet.isEmpty()) combo->setStyleSheet(sheet);
    combo->setFont(font);
    return combo;
}

QLabel *GuiStyle::makeLabel(QWidget *parent, int x, int y, int w, int h, const QString &sheet,
                            const QFont &font, const QString &text) const {
    auto *label = new QLabel(parent);
    label->setGeometry(x, y, w, h);
    if (!sheet.isEmpty()) label->setStyleSheet(sheet);
    label->setFont(font);
    label->setText(text);
    return label;
}

QLineEdit *GuiStyle::makeLineEdit(QWidget *parent, int x, int y, int w, int h, const QString &text,
                                  const QString &sheet, const QFont &font, int id, bool readOnly,
                                  bool alignLeft) const {
    auto *edit = new QLineEdit(parent);
    edit->setGeometry(x, y, w, h);
    edit->setObjectName(QString::number(id));
    if (!sheet.isEmpty()) edit->setStyleSheet(sheet);
    edit->setFont(font);
    edit->setText(text);
    edit->setReadOnly(readOnly);
    if (alignLeft) edit->setAlignment(Qt::AlignLeft);
    edit->setCursorPosition(0);
    return edit;
}
