// The main window's widget tree, its layout, the style catalogue, the logo
// overlay and dropping files on the window.
#include "TestSupport.h"

#include "common/GlobalParams.h"
#include "gui/GUI.h"
#include "gui/GuiStyle.h"
#include "gui/LogoScreen.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDomDocument>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSlider>
#include <QSpinBox>
#include <QSvgRenderer>
#include <QToolButton>
#include <QtTest>

#include <memory>

namespace {

using TestSupport::items;
using TestSupport::makeWindow;

QString textOf(const QWidget *w) {
    if (auto *l = qobject_cast<const QLabel *>(w)) return l->text();
    if (auto *b = qobject_cast<const QAbstractButton *>(w)) return b->text();
    if (auto *e = qobject_cast<const QLineEdit *>(w)) return e->text();
    return QString();
}

bool hasColour(const QImage &img, QRgb want, int tolerance = 12) {
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) {
            const QRgb p = img.pixel(x, y);
            if (qAbs(qRed(p) - qRed(want)) <= tolerance && qAbs(qGreen(p) - qGreen(want)) <= tolerance &&
                qAbs(qBlue(p) - qBlue(want)) <= tolerance)
                return true;
        }
    return false;
}

// A drop reaches only the widget that took the drag's enter event.
void sendDrop(GUI *gui, QMimeData *data) {
    QDragEnterEvent enter(QPoint(600, 300), Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(gui, &enter);
    QDropEvent drop(QPointF(600, 300), Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(gui, &drop);
}

const QRgb kAccent = qRgb(0, 172, 236);
const QRgb kGrey = qRgb(149, 165, 166);

} // namespace

class TestGui : public QObject {
    Q_OBJECT
private slots:
    void mainWidgetTree() {
        auto gui = makeWindow();
        struct Row {
            QWidget *w;
            const char *type;
            const char *objectName; // nullptr: not checked
            QString text;
            bool visible;
        };
        const Row rows[] = {
            {gui->liveButton, "QToolButton", "0", "", true},
            {gui->loadFileButton, "QToolButton", "0", "", true},
            {gui->statusLabel, "QLabel", nullptr, "", true},
            {gui->resolutionCombo, "QComboBox", "3", "", false},
            {gui->resolutionField, "QLineEdit", "0", "", false},
            {gui->fpsCombo, "QComboBox", "4", "", false},
            {gui->fpsField, "QLineEdit", "0", "", false},
            {gui->fileNameLabel, "QLabel", nullptr, "", true},
            {gui->idLabel, "QLabel", nullptr, "ID", true},
            {gui->idField, "QLineEdit", "0", "", true},
            {gui->serialLabel, "QLabel", nullptr, "SN", true},
            {gui->serialField, "QLineEdit", "0", "", true},
            {gui->settingsButton, "QToolButton", "0", "", true},
            {gui->frameSlider, "QSlider", nullptr, "", false},
            {gui->frameSpinBox, "QSpinBox", nullptr, "", false},
            {gui->speedCombo, "QComboBox", "3", "", false},
            {gui->stopButton, "QToolButton", "15", "", false},
            {gui->pauseButton, "QToolButton", "15", "", false},
            {reinterpret_cast<QWidget *>(gui->imageView), "OGL2DWidget", nullptr, "", true},
            {gui->viewLabel, "QLabel", nullptr, "View", true},
            {gui->viewCombo, "QComboBox", "0", "", true},
            {gui->dataLabel, "QLabel", nullptr, "Data", true},
            {gui->dataCombo, "QComboBox", "0", "", true},
            {reinterpret_cast<QWidget *>(gui->depthView), "OGL2DWidget", nullptr, "", true},
            {reinterpret_cast<QWidget *>(gui->pointCloudView), "OGL3DWidget", nullptr, "", true},
            {gui->versionLabel, "QLabel", nullptr, "Version : ", true},
            {gui->fpsLabel, "QLabel", nullptr, "", true},
            {gui->cpuGpuLabel, "QLabel", nullptr, "", true},
            {gui->logoScreen, "LogoScreen", nullptr, "", false},
        };
        for (const Row &r : rows) {
            QVERIFY(r.w);
            const QByteArray what = QByteArray(r.type) + " " + textOf(r.w).toUtf8();
            QVERIFY2(r.w->inherits(r.type), what);
            QVERIFY2(r.w->parentWidget() == gui.get(), what);
            if (r.objectName) QVERIFY2(r.w->objectName() == r.objectName, what);
            QVERIFY2(textOf(r.w) == r.text, what);
            QVERIFY2(r.w->isVisible() == r.visible, what);
        }
        QCOMPARE(gui->liveButton->toolTip(), QString("Active Live"));
        QCOMPARE(gui->loadFileButton->toolTip(), QString("Load TWV file"));
        QCOMPARE(gui->settingsButton->toolTip(), QString("Settings"));
        QVERIFY(gui->liveButton->isEnabled());
        QVERIFY(!gui->liveButton->isCheckable() && !gui->loadFileButton->isCheckable());
        QVERIFY(!gui->settingsButton->isCheckable());
        QVERIFY(gui->pauseButton->isCheckable() && !gui->pauseButton->isChecked());

        QCOMPARE(items(gui->resolutionCombo), QStringList({"HD2K", "HD1080", "HD720", "VGA"}));
        QCOMPARE(gui->fpsCombo->count(), 0);
        QCOMPARE(gui->fpsList, QStringList({"15", "30", "60 ", "100"}));
        QCOMPARE(gui->fpsList.at(2).trimmed().toInt(), 60);
        QCOMPARE(items(gui->speedCombo), QStringList({"speed x1", "speed x2", "speed x4"}));
        QCOMPARE(items(gui->viewCombo), QStringList({"Left", "Right", "Side by Side"}));
        QCOMPARE(items(gui->dataCombo), QStringList({"Depth", "Confidence"}));
        QCOMPARE(gui->viewCombo->currentIndex(), 0);
        QCOMPARE(gui->dataCombo->currentIndex(), 0);

        QCOMPARE(gui->frameSlider->orientation(), Qt::Horizontal);
        QCOMPARE(gui->frameSlider->minimum(), 1);
        QCOMPARE(gui->frameSlider->maximum(), 100);
        QCOMPARE(gui->frameSpinBox->minimum(), 1);
        QCOMPARE(gui->frameSpinBox->maximum(), 100);
        QCOMPARE(gui->frameSpinBox->buttonSymbols(), QAbstractSpinBox::PlusMinus);
        for (QLineEdit *e : {gui->resolutionField, gui->fpsField, gui->idField, gui->serialField})
            QVERIFY(e->isReadOnly());
        QCOMPARE(gui->idLabel->alignment(), Qt::AlignCenter);
        QCOMPARE(gui->serialLabel->layoutDirection(), Qt::RightToLeft);
        QCOMPARE(gui->statusLabel->styleSheet(), QString("color : rgb(0,172,236)"));
        // The file name is written in the dark colour.
        gui->fileNameLabel->setText("walk.twv");
        gui->fileNameLabel->show();
        QVERIFY(hasColour(gui->fileNameLabel->grab().toImage(), qRgb(52, 73, 94), 16));
        QVERIFY(!hasColour(gui->fileNameLabel->grab().toImage(), qRgb(0, 0, 0), 16));
        gui->fileNameLabel->clear();
        gui->fileNameLabel->hide();

        QCOMPARE(gui->windowTitle(), QString("Vantaro"));
        QCOMPARE(gui->minimumSize(), QSize(1280, 720));
        QVERIFY(gui->acceptDrops());
        QVERIFY(!gui->menuWidget() && !gui->centralWidget());

        // The frame slider and its spin box follow each other.
        gui->frameSpinBox->setValue(10);
        QCOMPARE(gui->frameSlider->value(), 10);
        gui->frameSlider->setValue(20);
        QCOMPARE(gui->frameSpinBox->value(), 20);

        // Starting values of the parameter store.
        QCOMPARE(GlobalParams::getInt(PARAM_SENSING), 0);
        QCOMPARE(GlobalParams::getInt(PARAM_DEPTH_QUALITY), 3);
        QVERIFY(GlobalParams::getBool(PARAM_STABILIZER));
        QCOMPARE(GlobalParams::getInt(PARAM_IMAGE_VIEW), 0);
        QCOMPARE(GlobalParams::getInt(PARAM_DEPTH_VIEW), 9);
        QCOMPARE(GlobalParams::getInt(PARAM_TWV_STEP), 1);
    }

    void settingsWindowTree() {
        auto gui = makeWindow();
        QWidget *s = gui->settingsWindow;
        QVERIFY(s && !s->parent());
        QVERIFY(!s->isVisible());
        QCOMPARE(s->windowTitle(), QString("Settings"));
        QCOMPARE(s->minimumSize(), QSize(520, 500));
        QCOMPARE(s->maximumSize(), QSize(520, 500));
        QVERIFY(!s->windowIcon().isNull());

        struct Row {
            QWidget *w;
            QRect geometry;
            QString text;
        };
        const Row rows[] = {
            {gui->depthSectionLabel, {26, 10, 260, 28}, "Depth"},
            {gui->initialisationLabel, {52, 48, 156, 25}, "Initialisation"},
            {gui->modeLabel, {72, 80, 156, 25}, "Mode"},
            {gui->perfButton, {213, 80, 65, 25}, "PERF."},
            {gui->mediumButton, {278, 80, 65, 25}, "MEDIUM"},
            {gui->qualityButton, {343, 80, 65, 25}, "QUALITY"},
            {gui->ultraButton, {408, 80, 65, 25}, "ULTRA"},
            {gui->stabilizationLabel, {72, 112, 156, 25}, "Stabilization"},
            {gui->stabilizationCheck, {213, 112, 260, 25}, ""},
            {gui->runtimeLabel, {52, 157, 156, 25}, "Runtime"},
            {gui->sensingLabel, {72, 202, 156, 25}, "Sensing"},
            {gui->fillButton, {213, 202, 130, 25}, "FILL"},
            {gui->standardButton, {343, 202, 130, 25}, "STANDARD"},
            {gui->maxRangeLabel, {72, 237, 156, 25}, "Max Range"},
            {gui->maxRangeSlider, {213, 237, 187, 25}, ""},
            {gui->maxRangeValueLabel, {400, 237, 72, 25}, ""},
            {gui->confidenceLabel, {72, 272, 156, 25}, "Confidence"},
            {gui->confidenceSlider, {213, 272, 187, 25}, ""},
            {gui->confidenceValueLabel, {400, 272, 72, 25}, ""},
            {gui->saveSectionLabel, {26, 317, 260, 28}, "Save"},
            {gui->directoryLabel, {72, 355, 156, 25}, "Directory"},
            {gui->selectDirButton, {213, 355, 125, 25}, "Select"},
            {gui->imageSaveLabel, {72, 390, 156, 25}, "Image"},
            {gui->imageSaveCombo, {213, 390, 125, 25}, ""},
            {gui->saveImageButton, {348, 390, 115, 25}, "save"},
            {gui->depthSaveLabel, {72, 425, 156, 25}, "Depth"},
            {gui->depthFormatCombo, {213, 425, 125, 25}, ""},
            {gui->saveDepthButton, {348, 425, 115, 25}, "save"},
            {gui->pointCloudSaveLabel, {72, 460, 156, 25}, "Point Cloud"},
            {gui->pointCloudFormatCombo, {213, 460, 125, 25}, ""},
            {gui->savePointCloudButton, {348, 460, 115, 25}, "save"},
        };
        for (const Row &r : rows) {
            QVERIFY(r.w);
            QVERIFY2(r.w->parentWidget() == s, qPrintable(r.text));
            QVERIFY2(r.w->geometry() == r.geometry, qPrintable(r.text));
            QVERIFY2(textOf(r.w) == r.text, qPrintable(r.text));
        }
        QCOMPARE(gui->perfButton->objectName(), QString("1"));
        QCOMPARE(gui->mediumButton->objectName(), QString("2"));
        QCOMPARE(gui->qualityButton->objectName(), QString("3"));
        QCOMPARE(gui->ultraButton->objectName(), QString("4"));
        QCOMPARE(gui->fillButton->objectName(), QString("4"));
        QCOMPARE(gui->standardButton->objectName(), QString("4"));
        QCOMPARE(gui->selectDirButton->objectName(), QString("1"));
        QCOMPARE(gui->saveImageButton->objectName(), QString("0"));
        QCOMPARE(gui->imageSaveCombo->objectName(), QString("3"));
        QVERIFY(gui->qualityButton->isChecked() && gui->standardButton->isChecked());
        QVERIFY(!gui->fillButton->isChecked() && !gui->perfButton->isChecked());
        QVERIFY(gui->modeGroup->exclusive() && gui->sensingGroup->exclusive());
        QCOMPARE(gui->modeGroup->buttons().size(), 4);
        QCOMPARE(gui->sensingGroup->buttons().size(), 2);
        QVERIFY(gui->stabilizationCheck->isChecked());
        QCOMPARE(gui->maxRangeSlider->minimum(), 1000);
        QCOMPARE(gui->maxRangeSlider->maximum(), 40000);
        QCOMPARE(gui->confidenceSlider->minimum(), 0);
        QCOMPARE(gui->confidenceSlider->maximum(), 100);
        QCOMPARE(items(gui->imageSaveCombo), QStringList({"left", "right", "side by side"}));
        QCOMPARE(items(gui->depthFormatCombo), QStringList({"PNG", "PFM", "PGM"}));
        QCOMPARE(items(gui->pointCloudFormatCombo), QStringList({"XYZ", "PCD", "PLY", "VTK"}));
        QCOMPARE(gui->pointCloudFormatCombo->currentText(), QString("PLY"));
        QCOMPARE(gui->imageSaveCombo->currentIndex(), 0);
        QCOMPARE(gui->modeLabel->alignment(), Qt::AlignLeft | Qt::AlignVCenter);
        QCOMPARE(gui->maxRangeValueLabel->alignment(), Qt::AlignRight | Qt::AlignVCenter);

        // Closing the main window takes the parentless settings window along.
        QPointer<QWidget> settings = s;
        gui.reset();
        QVERIFY(settings.isNull());
    }

    void layoutAtMinimumSize() {
        auto gui = makeWindow(1280, 720);
        QCOMPARE(gui->size(), QSize(1280, 720));
        const int m = 12, top = 49;
        QCOMPARE(gui->logoRect, QRectF(m, m, 100, 25));
        const QWidget *image = reinterpret_cast<QWidget *>(gui->imageView);
        const QWidget *depth = reinterpret_cast<QWidget *>(gui->depthView);
        const QWidget *cloud = reinterpret_cast<QWidget *>(gui->pointCloudView);
        QCOMPARE(image->geometry(), QRect(m, top, 509, 286));
        QCOMPARE(depth->geometry(), QRect(m, top + 286 + 2 * m + 25, 509, 286));
        QCOMPARE(cloud->geometry(), QRect(509 + 2 * m, top, 735, 621));
        QCOMPARE(gui->logoScreen->geometry(),
                 QRect(533 + 73, top + 62, static_cast<int>(0.8 * 735), static_cast<int>(0.8 * 621)));

        QCOMPARE(gui->liveButton->geometry(), QRect(124, 12, 35, 25));
        QCOMPARE(gui->loadFileButton->geometry(), QRect(124 + 35 + 9, 12, 35, 25));
        QCOMPARE(gui->resolutionCombo->geometry(), QRect(168 + 35 + 10, 13, 90, 25));
        QCOMPARE(gui->fpsCombo->geometry(), QRect(213 + 95, 13, 55, 25));
        QCOMPARE(gui->fpsField->geometry(), gui->fpsCombo->geometry());
        QCOMPARE(gui->statusLabel->geometry(), QRect(213, 13, 500, 25));
        // The identity group starts at W - m - 160 whatever the status width.
        QCOMPARE(gui->idLabel->x(), 1280 - m - 160);
        QCOMPARE(gui->fileNameLabel->x() + gui->fileNameLabel->width(), 1280 - 2 * m - 160);
        QCOMPARE(gui->settingsButton->size(), QSize(25, 25));
        QCOMPARE(gui->settingsButton->y(), gui->liveButton->y());

        // Selector row in the gap, label-combo pairs evenly spaced.
        const int rowY = top + 286 + m;
        QCOMPARE(gui->viewLabel->y(), rowY);
        QCOMPARE(gui->dataCombo->y(), rowY);
        const int gap = gui->viewLabel->x() - image->x();
        QCOMPARE(gui->dataLabel->x() - (gui->viewCombo->x() + 105), gap);
        QVERIFY(qAbs(image->x() + image->width() - (gui->dataCombo->x() + 105) - gap) <= 2);

        // Playback bar and status line.
        const int barY = depth->y() + depth->height() + m;
        QCOMPARE(gui->stopButton->geometry(), QRect(320, barY, 25, 25));
        QCOMPARE(gui->pauseButton->geometry(), QRect(357, barY, 25, 25));
        QCOMPARE(gui->frameSlider->geometry(), QRect(394, barY, 640 - (12 + 2 * 62), 25));
        QCOMPARE(gui->frameSpinBox->x(), 394 + 504 + m);
        QCOMPARE(gui->speedCombo->geometry(), QRect(394 + 504 + m + 50, barY, 85, 25));
        QCOMPARE(gui->fpsLabel->geometry(), QRect(m, 720 - 50, 320 - m, 25));
        QCOMPARE(gui->cpuGpuLabel->geometry(), QRect(m, 720 - 25, 320 - m, 25));
        QCOMPARE(gui->versionLabel->geometry(), QRect(1280 - m - 55, 720 - 25, 55, 20));

        // Cannot be made smaller than the minimum.
        gui->resize(800, 500);
        QCOMPARE(gui->size(), QSize(1280, 720));
    }

    void layoutOfATallerWindowKeepsFullWidthViews() {
        auto gui = makeWindow(1600, 1000);
        QCOMPARE(gui->size(), QSize(1600, 1000));
        // m 15, logo 30 high, top 60: 720 wide views fit into the height.
        const QWidget *image = reinterpret_cast<QWidget *>(gui->imageView);
        const QWidget *cloud = reinterpret_cast<QWidget *>(gui->pointCloudView);
        QCOMPARE(gui->logoRect, QRectF(15, 15, 120, 30));
        QCOMPARE(image->geometry(), QRect(15, 60, 720, 417));
        QCOMPARE(cloud->geometry(), QRect(750, 60, 835, 889));
        QCOMPARE(gui->idLabel->x(), 1600 - 15 - 160);
    }

    void statusLabelFollowsInputState() {
        auto gui = makeWindow();
        const int loadRight = gui->loadFileButton->x() + gui->loadFileButton->width();
        QCOMPARE(gui->statusLabel->x(), loadRight + 10);
        QCOMPARE(gui->statusLabel->width(), 500);
        gui->setInputState(3, 100);
        QCOMPARE(gui->statusLabel->width(), 110);
        QCOMPARE(gui->statusLabel->x(), gui->fpsField->x() + gui->fpsField->width() + 10);
        QCOMPARE(gui->fileNameLabel->x(), gui->statusLabel->x() + 110 + 12);
        gui->resize(1300, 720);
        QCOMPARE(gui->statusLabel->width(), 110);
        QCOMPARE(gui->idLabel->x(), 1300 - 12 - 160);
        gui->setInputState(0, 0);
        QCOMPARE(gui->statusLabel->width(), 500);
    }

    void baseFontSizeRule() {
        QCOMPARE(GuiStyle::baseFontSizeForWidth(28), 10);
        QCOMPARE(GuiStyle::baseFontSizeForWidth(29), 9);
        QCOMPARE(GuiStyle::baseFontSizeForWidth(40), 7);
        QCOMPARE(GuiStyle::baseFontSizeForWidth(14), 20);
        QCOMPARE(GuiStyle::baseFontSizeForWidth(0), 10);
        QCOMPARE(GuiStyle::baseFontSizeForWidth(-5), 10);

        GuiStyle style;
        QVERIFY(style.baseFontSize > 0);
        QCOMPARE(style.labelFont.pointSize(), style.baseFontSize);
        QCOMPARE(style.titleFont.pointSize(), style.baseFontSize);
        QCOMPARE(style.comboFont.pointSize(), style.baseFontSize + 1);
        QCOMPARE(style.labelFont.weight(), 57);
        QCOMPARE(style.titleFont.weight(), 81);
        QCOMPARE(style.comboFont.family(), QString("Helvetica"));
        QCOMPARE(style.comboFont.styleStrategy(), QFont::PreferAntialias);
    }

    void sheetsFollowTheirColours() {
        GuiStyle style;
        QCOMPARE(style.backgroundSheet, QString("background-color:rgb(255,255,255);"));
        QCOMPARE(style.stopSheet,
                 QString("QToolButton{border:0px solid;color:rgb(255,255,255);image:url(:/images/"
                         "stop.png);}"));
        QCOMPARE(style.pauseSheet,
                 QString("QToolButton{border:0px solid;color:rgb(255,255,255);image:url(:/images/"
                         "pause.png);}QToolButton:checked{image:url(:/images/play.png);}"));
        QCOMPARE(style.fontCss, QString("font-family:Helvetica; font-weight:Medium; font-size:15px; "));
        QVERIFY(style.fieldSheet.startsWith(style.fontCss));

        const auto sheets = [](const GuiStyle &s) {
            return QMap<QString, QString>{
                {"button", s.buttonSheet},
                {"segmentLeft", s.segmentLeftSheet},
                {"segmentMiddle", s.segmentMiddleSheet},
                {"segmentRight", s.segmentRightSheet},
                {"combo", s.comboSheet},
                {"slider", s.sliderSheet},
                {"background", s.backgroundSheet},
                {"field", s.fieldSheet},
                {"switch", s.switchSheet},
                {"spinBox", s.spinBoxSheet},
                {"pause", s.pauseSheet},
                {"stop", s.stopSheet},
                {"gear", s.gearSheet},
                {"live", s.liveSheet},
                {"file", s.fileSheet},
            };
        };
        struct Case {
            QString GuiStyle::*colour;
            QStringList users;
        };
        const QList<Case> cases = {
            {&GuiStyle::darkColor, {"combo", "field", "spinBox"}},
            {&GuiStyle::greyColor, {"button", "field", "slider"}},
            {&GuiStyle::silverColor, {"slider"}},
            {&GuiStyle::lightColor, {"combo", "field"}},
            {&GuiStyle::accentColor,
             {"button", "combo", "segmentLeft", "segmentMiddle", "segmentRight", "slider"}},
            {&GuiStyle::accentDarkColor, {"button"}},
            {&GuiStyle::whiteColor,
             {"background", "button", "combo", "field", "file", "gear", "live", "pause", "spinBox", "stop"}},
            {&GuiStyle::blackColor, {"button", "field"}},
            {&GuiStyle::textColor, {"combo"}},
        };
        const auto before = sheets(style);
        for (const Case &c : cases) {
            GuiStyle changed;
            changed.*(c.colour) = "rgb(1,2,3)";
            changed.buildSheets();
            const auto after = sheets(changed);
            QStringList differing;
            for (auto it = before.begin(); it != before.end(); ++it)
                if (after.value(it.key()) != it.value()) differing << it.key();
            differing.sort();
            QStringList want = c.users;
            want.sort();
            QCOMPARE(differing, want);
        }

        // Every picture a sheet names is compiled in.
        QRegularExpression url(":/images/[A-Za-z0-9_]+\\.png");
        int found = 0;
        for (const QString &sheet : before) {
            auto it = url.globalMatch(sheet);
            while (it.hasNext()) {
                const QString path = it.next().captured(0);
                QVERIFY2(QFile::exists(path), qPrintable(path));
                QVERIFY2(!QImage(path).isNull(), qPrintable(path));
                ++found;
            }
        }
        QVERIFY(found >= 23);
        for (const char *font :
             {":/font/Roboto-Medium.ttf", ":/font/Roboto-Bold.ttf", ":/font/Roboto-Regular.ttf"})
            QVERIFY(QFile::exists(font));
    }

    void buttonPicturesFollowState() {
        auto gui = makeWindow();
        gui->setInputState(3, 10);
        QImage live = gui->liveButton->grab().toImage();
        QVERIFY(hasColour(live, kAccent));
        gui->liveButton->setEnabled(false);
        live = gui->liveButton->grab().toImage();
        QVERIFY(hasColour(live, kGrey, 6));
        QVERIFY(!hasColour(live, kAccent, 30));

        // Pause shows two bars (gap in the middle), play a solid triangle.
        const QPoint centre(12, 12);
        QImage pause = gui->pauseButton->grab().toImage();
        QVERIFY(!hasColour(pause.copy(QRect(centre, QSize(1, 1))), kAccent, 40));
        gui->pauseButton->setChecked(true);
        QImage play = gui->pauseButton->grab().toImage();
        QVERIFY(hasColour(play.copy(QRect(centre, QSize(1, 1))), kAccent, 40));
    }

    void logoRecolouring() {
        QFile file(":/SVG/logo-vantaro.svg");
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray original = file.readAll();
        for (int round = 0; round < 2; ++round) {
            // A second overlay in the same process gets the same colours.
            QDomDocument doc;
            QVERIFY(doc.setContent(LogoScreen::recolourSvg(original, "rgb(255,255,255)", "rgb(0,172,236)")));
            const QDomNodeList paths = doc.elementsByTagName("path");
            QVERIFY(paths.size() >= 3);
            int white = 0;
            for (int i = 0; i < paths.size(); ++i) {
                const QString fill = paths.at(i).toElement().attribute("fill");
                if (fill == "rgb(255,255,255)")
                    ++white;
                else
                    QCOMPARE(fill, QString("rgb(0,172,236)"));
            }
            QCOMPARE(white, 1);
            QCOMPARE(paths.at(0).toElement().attribute("fill"), QString("rgb(255,255,255)"));
        }

        // Depth first in document order; the tag match is exact.
        const QByteArray nested = "<svg><g><rect/><g><path id='a'/></g><PATH id='x'/></g>"
                                  "<path id='b'/><path id='c'/></svg>";
        QDomDocument doc;
        QVERIFY(doc.setContent(LogoScreen::recolourSvg(nested, "W", "B")));
        QMap<QString, QString> fills;
        for (const char *tag : {"path", "PATH"}) {
            const QDomNodeList found = doc.elementsByTagName(tag);
            for (int i = 0; i < found.size(); ++i) {
                const QDomElement e = found.at(i).toElement();
                fills[e.attribute("id")] = e.attribute("fill");
            }
        }
        QCOMPARE(fills.value("a"), QString("W"));
        QCOMPARE(fills.value("b"), QString("B"));
        QCOMPARE(fills.value("c"), QString("B"));
        QCOMPARE(fills.value("x"), QString());
        QVERIFY(LogoScreen::recolourSvg("not svg <", "W", "B").isEmpty());
    }

    void logoScreenPlacementAndPixels() {
        GuiStyle style;
        LogoScreen screen(nullptr, &style);
        QVERIFY(screen.logoRenderer->isValid());
        screen.setStyleSheet("background-color: black;");
        screen.setAttribute(Qt::WA_StyledBackground);
        screen.resize(800, 600);
        screen.show();
        QVERIFY(QTest::qWaitForWindowExposed(&screen));
        const QSize def = screen.logoRenderer->defaultSize();
        const int lw = static_cast<int>(float(def.width()) / float(def.height()) * 90.0f);
        QCOMPARE(screen.logoRect.height(), 90.0);
        QCOMPARE(screen.logoRect.width(), double(lw));
        QCOMPARE(screen.logoRect.x(), (800 - lw) * 0.5);
        QCOMPARE(screen.logoRect.y(), 255.0);
        const QImage img = screen.grab().toImage();
        const QImage logoArea = img.copy(screen.logoRect.toRect());
        QVERIFY(hasColour(logoArea, qRgb(255, 255, 255), 3));
        QVERIFY(hasColour(logoArea, kAccent, 3));
        // Nothing outside the logo.
        QCOMPARE(img.pixel(10, 10) & 0xffffff, 0u);

        // The main-window logo is painted at the top left.
        auto gui = makeWindow();
        const QImage window = gui->grab().toImage();
        QVERIFY(hasColour(window.copy(gui->logoRect.toRect()), kAccent, 3));
    }

    void droppingFiles() {
        auto gui = makeWindow();
        QSignalSpy spy(gui.get(), SIGNAL(sendTWVWork(QString)));

        const auto dropUrls = [&](const QList<QUrl> &urls) {
            auto *data = new QMimeData;
            data->setUrls(urls);
            sendDrop(gui.get(), data);
            delete data;
        };
        dropUrls({QUrl("file:///data/walk.twv")});
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.takeFirst().at(0).toString(), QString("/data/walk.twv"));

        dropUrls({QUrl::fromLocalFile("/data/my walk#1.twv")});
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.takeFirst().at(0).toString(), QString("/data/my walk#1.twv"));

        dropUrls({QUrl("file:///data/walk.TWV")});
        dropUrls({QUrl("file:///data/walk.twv.bak")});
        dropUrls({QUrl("file:///data/notes.txt"), QUrl("file:///data/walk.twv")});
        dropUrls({QUrl("https://example.org/walk.twv")});
        dropUrls({});
        QCOMPARE(spy.count(), 0);

        dropUrls({QUrl("file:///data/a.twv"), QUrl("file:///data/b.twv")});
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.takeFirst().at(0).toString(), QString("/data/a.twv"));

        // Plain text: welcome on enter, ignored on drop.
        QMimeData text;
        text.setText("file:///data/walk.twv");
        QDragEnterEvent enter(QPoint(600, 300), Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
        enter.setAccepted(false);
        QApplication::sendEvent(gui.get(), &enter);
        QVERIFY(enter.isAccepted());
        sendDrop(gui.get(), &text);
        QCOMPARE(spy.count(), 0);
    }

    void closingEmitsAndLeavesDeletionToTheOwner() {
        auto gui = makeWindow();
        QSignalSpy spy(gui.get(), SIGNAL(sendClose()));
        gui->showSettings(false);
        QVERIFY(gui->settingsWindow->isVisible());
        QVERIFY(gui->close());
        QVERIFY(!gui->settingsWindow->isVisible());
        QCOMPARE(spy.count(), 1);
        QVERIFY(!gui->isVisible());
        QPointer<GUI> window = gui.release();
        QPointer<QWidget> settings = window->settingsWindow;
        window->deleteLater();
        QVERIFY(!window.isNull());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(window.isNull());
        QVERIFY(settings.isNull());
    }
};

QTEST_MAIN(TestGui)
#include "test_gui.moc"
