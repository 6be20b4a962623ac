#include "gui/GUI.h"

#include "common/GlobalParams.h"
#include "gui/CameraControlsWindow.h"
#include "gui/GuiStyle.h"
#include "gui/LogoScreen.h"
#include "render/FrameProbe.h"
#include "render/OGL2DWidget.h"
#include "render/OGL3DWidget.h"
#include "twl/core/ModeTable.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDomDocument>
#include <QFile>
#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPaintEvent>
#include <QPainter>
#include <QScreen>
#include <QSlider>
#include <QSpinBox>
#include <QSvgRenderer>
#include <QToolButton>

GUI::GUI() : QMainWindow(nullptr) {
    style = new GuiStyle();
    forcedPause = false;
    GlobalParams::setInt(PARAM_IMAGE_VIEW, 0);
    GlobalParams::setInt(PARAM_DEPTH_VIEW, 9);
    GlobalParams::setInt(PARAM_DEPTH_COLORMAP, 0);
    GlobalParams::setInt(PARAM_DEPTH_RANGE, 0);
    GlobalParams::setInt(PARAM_CLOUD_COLORS, 0);
    // VANTARO_PAINT_ALL=1 paints the old way (each slider move, the whole
    // cloud), to measure the frugal repaint against.
    GlobalParams::setBool(PARAM_PAINT_ALL, qEnvironmentVariableIntValue("VANTARO_PAINT_ALL") != 0);
}

GUI::~GUI() {
    // The settings window has no parent, so nothing else would take it down.
    delete settingsWindow;
    settingsWindow = nullptr;
    delete cameraControlsWindow;
    cameraControlsWindow = nullptr;
    if (imageView) imageView->probe = nullptr;
    if (depthView) depthView->probe = nullptr;
    delete frameProbe;
    frameProbe = nullptr;
    delete style;
    style = nullptr;
}

void GUI::setupButton(QToolButton *button, int x, int y, int w, int h, const QString &sheet,
                      const QString &text, int id) {
    button->setObjectName(QString::number(id));
    button->setGeometry(x, y, w, h);
    button->setStyleSheet(sheet);
    button->setText(text);
}

void GUI::setupComboBox(QComboBox *combo, int x, int y, int w, int h, const QString &sheet, const QFont &font,
                        int id) {
    combo->setObjectName(QString::number(id));
    combo->setGeometry(x, y, w, h);
    combo->setStyleSheet(sheet);
    combo->setFont(font);
}

void GUI::buildInterface() {
    setMinimumSize(1280, 720);
    setAcceptDrops(true);
    setWindowTitle(GlobalParams::stringRef(PARAM_WINDOW_TITLE));

    // The same read-parse-serialise path as the logo overlay, so both accept
    // the same files; an unreadable logo leaves an empty renderer.
    QFile logoFile(":/SVG/VEXO.svg");
    logoFile.open(QIODevice::ReadOnly);
    QDomDocument logoDoc;
    logoDoc.setContent(logoFile.readAll());
    logoRenderer = new QSvgRenderer(logoDoc.toByteArray(1), this);

    buildMainWidgets();
    buildSettingsWindow();
    // How many image controls there are depends on the camera, and the
    // settings window has a fixed size: they get a window of their own.
    cameraControlsWindow = new CameraControlsWindow(style);
    cameraButton = new QToolButton(settingsWindow);
    setupButton(cameraButton, 343, 12, 130, 25, style->buttonSheet, "Camera", 0);
    cameraButton->setToolTip("Exposure, gain, white balance and the camera's other image controls");
    connect(cameraButton, &QToolButton::clicked, this, [this]() {
        QWidget *w = cameraControlsWindow;
        w->move(settingsWindow->x() + (settingsWindow->width() - w->width()) / 2,
                settingsWindow->y() + (settingsWindow->height() - w->height()) / 2);
        w->hide(); // raises a window that is already open
        w->show();
    });
    buildRecordWidgets();

    connect(maxRangeSlider, SIGNAL(valueChanged(int)), this, SLOT(changeDepthClamp(int)));
    connect(confidenceSlider, SIGNAL(valueChanged(int)), this, SLOT(changeConfidence(int)));
    connect(resolutionCombo, SIGNAL(currentIndexChanged(int)), this, SLOT(changeRes(int)));
    connect(fpsCombo, SIGNAL(currentIndexChanged(int)), this, SLOT(changeFPS(int)));
    connect(fillButton, SIGNAL(toggled(bool)), this, SLOT(changeSensing(bool)));
    connect(standardButton, SIGNAL(toggled(bool)), this, SLOT(changeSensing(bool)));
    connect(ultraButton, SIGNAL(toggled(bool)), this, SLOT(ChangeQuality(bool)));
    connect(qualityButton, SIGNAL(toggled(bool)), this, SLOT(ChangeQuality(bool)));
    connect(perfButton, SIGNAL(toggled(bool)), this, SLOT(ChangeQuality(bool)));
    connect(mediumButton, SIGNAL(toggled(bool)), this, SLOT(ChangeQuality(bool)));
    connect(stabilizationCheck, SIGNAL(toggled(bool)), this, SLOT(enableStabilizer(bool)));
    connect(settingsButton, SIGNAL(clicked(bool)), this, SLOT(showSettings(bool)));
    connect(pauseButton, SIGNAL(clicked(bool)), this, SLOT(pauseScan(bool)));
    connect(viewCombo, SIGNAL(currentIndexChanged(int)), this, SLOT(changeViewIm(int)));
    connect(dataCombo, SIGNAL(currentIndexChanged(int)), this, SLOT(changeViewDepth(int)));
    connectDepthControls();

    setStyleSheet(style->backgroundSheet);
    for (QToolButton *b : {perfButton, mediumButton, qualityButton, ultraButton, fillButton, standardButton})
        b->setCheckable(true);
    // These fire changeSensing and ChangeQuality through the connections above.
    standardButton->setChecked(true);
    qualityButton->setChecked(true);

    settingsButton->setCheckable(false);
    pauseButton->setCheckable(true);

    connect(frameSlider, SIGNAL(sliderPressed()), this, SLOT(ForcePause()));
    connect(frameSlider, SIGNAL(sliderReleased()), this, SLOT(UnForcePause()));
    connect(frameSlider, SIGNAL(valueChanged(int)), frameSpinBox, SLOT(setValue(int)));
    connect(frameSpinBox, SIGNAL(valueChanged(int)), frameSlider, SLOT(setValue(int)));

    for (QWidget *w :
         std::initializer_list<QWidget *>{resolutionCombo, fpsCombo, resolutionField, fpsField, pauseButton,
                                          stopButton, frameSlider, frameSpinBox, speedCombo})
        w->hide();
    connect(speedCombo, SIGNAL(currentIndexChanged(int)), this, SLOT(changeStepTWV(int)));

    frameCounter = 0;
    viewCombo->setCurrentIndex(0);
    updatingFpsList = false;
}

void GUI::buildMainWidgets() {
    // Provisional geometry only: the first resize places everything again
    // before the window is shown.
    const QScreen *primary = QGuiApplication::primaryScreen();
    const QRect screen = primary ? primary->geometry() : QRect(0, 0, 1280, 720);
    const int sw = screen.width() > 0 ? screen.width() : 1280;
    const int sh = screen.height() > 0 ? screen.height() : 720;
    const int m = static_cast<int>(sw * 0.0095);
    const int bandY = m;
    const int viewW = static_cast<int>(sw * 0.45);
    const int viewH = sh / 3;
    GuiStyle &s = *style;

    liveButton = s.makeToolButton(this, 120, bandY, 35, 25, s.liveSheet, QString(), 0);
    liveButton->setToolTip("Active Live");
    loadFileButton = s.makeToolButton(this, 165, bandY, 35, 25, s.fileSheet, QString(), 0);
    loadFileButton->setToolTip("Load TWV file");
    statusLabel = s.makeLabel(this, 210, bandY, 500, 25, QString(), s.labelFont, QString());
    statusLabel->setStyleSheet("color : " + s.accentColor);
    resolutionCombo = s.makeComboBox(this, 210, bandY, 90, 25, s.comboSheet, s.comboFont, 3);
    for (const twl::ResolutionMode &mode : twl::kResolutionModes)
        resolutionCombo->addItem(mode.name);
    resolutionField =
        s.makeLineEdit(this, 210, bandY, 90, 25, QString(), s.fieldSheet, s.labelFont, 0, true, false);
    fpsCombo = s.makeComboBox(this, 305, bandY, 55, 25, s.comboSheet, s.comboFont, 4);
    // The 60 entry has always read "60 "; its text is compared, so it stays.
    for (int fps : twl::kFrameRates)
        fpsList << QString::number(fps) + (fps == 60 ? " " : "");
    fpsField = s.makeLineEdit(this, 305, bandY, 55, 25, QString(), s.fieldSheet, s.labelFont, 0, true, false);
    resolutionCombo->hide();
    resolutionField->hide();
    fpsCombo->hide();
    fpsField->hide();

    fileNameLabel = s.makeLabel(this, 480, bandY, sw / 3, 25, QString(), s.comboFont, QString());
    {
        QColor dark;
        dark.setNamedColor(s.darkColor);
        QPalette pal = fileNameLabel->palette();
        pal.setColor(QPalette::Active, QPalette::WindowText, dark);
        pal.setColor(QPalette::Inactive, QPalette::WindowText, dark);
        pal.setColor(QPalette::Disabled, QPalette::WindowText, dark);
        fileNameLabel->setPalette(pal);
        // The window's own sheet re-polishes every child and resets palettes
        // set by hand, so the colour has to come from a sheet as well.
        fileNameLabel->setStyleSheet("color:" + s.darkColor + ";");
    }
    const int rightX = sw - 2 * m - 160;
    idLabel = s.makeLabel(this, rightX, bandY, 20, 25, QString(), s.labelFont, "ID");
    idLabel->setAlignment(Qt::AlignCenter);
    idLabel->setLayoutDirection(Qt::RightToLeft);
    idField = s.makeLineEdit(this, rightX + 25, bandY, 30, 25, QString(), s.fieldSheet, s.labelFont, 0, true,
                             false);
    serialLabel = s.makeLabel(this, rightX + 60, bandY, 20, 25, QString(), s.labelFont, "SN");
    serialLabel->setAlignment(Qt::AlignCenter);
    serialLabel->setLayoutDirection(Qt::RightToLeft);
    serialField = s.makeLineEdit(this, rightX + 85, bandY, 70, 25, QString(), s.fieldSheet, s.labelFont, 0,
                                 true, false);
    settingsButton = s.makeToolButton(this, rightX + 160, bandY, 25, 25, s.gearSheet, QString(), 0);
    settingsButton->setToolTip("Settings");

    const int barY = bandY + 2 * viewH + 60;
    frameSlider = new QSlider(Qt::Horizontal, this);
    frameSlider->setGeometry(sw / 4 + 70, barY, sw / 4, 25);
    frameSlider->setStyleSheet(s.sliderSheet);
    frameSlider->setRange(1, 100);
    frameSpinBox = new QSpinBox(this);
    frameSpinBox->setGeometry(sw / 2 + 80, barY, 50, 25);
    frameSpinBox->setStyleSheet(s.spinBoxSheet);
    frameSpinBox->setButtonSymbols(QAbstractSpinBox::PlusMinus);
    frameSpinBox->setRange(1, 100);
    speedCombo = new QComboBox(this);
    setupComboBox(speedCombo, sw / 2 + 130, barY, 85, 25, s.comboSheet, s.labelFont, 3);
    speedCombo->addItems({"speed x1", "speed x2", "speed x4"});
    stopButton = new QToolButton(this);
    setupButton(stopButton, sw / 4, barY, 25, 25, s.stopSheet, QString(), 15);
    pauseButton = new QToolButton(this);
    setupButton(pauseButton, sw / 4 + 35, barY, 25, 25, s.pauseSheet, QString(), 15);
    pauseButton->setCheckable(true);
    pauseButton->setChecked(false);

    imageView = new OGL2DWidget(this);
    imageView->isImageView = true;
    imageView->setGeometry(m, 50, viewW, viewH);
    const int rowY = 50 + viewH + m;
    viewLabel = s.makeLabel(this, m + 20, rowY, 40, 25, QString(), s.labelFont, "View");
    viewCombo = s.makeComboBox(this, m + 65, rowY, 105, 25, s.comboSheet, s.labelFont, 0);
    viewCombo->addItems({"Left", "Right", "Side by Side"});
    viewCombo->setCurrentIndex(0);
    dataLabel = s.makeLabel(this, m + 200, rowY, 40, 25, QString(), s.labelFont, "Data");
    dataCombo = s.makeComboBox(this, m + 245, rowY, 105, 25, s.comboSheet, s.labelFont, 0);
    dataCombo->addItems({"Depth", "Confidence"});
    dataCombo->setCurrentIndex(0);
    depthView = new OGL2DWidget(this);
    depthView->setGeometry(m, rowY + m + 25, viewW, viewH);
    pointCloudView = new OGL3DWidget(this);
    pointCloudView->setGeometry(viewW + 2 * m, 50, sw - viewW - 3 * m, 2 * viewH + 25);
    buildDepthControls();

    versionLabel = s.makeLabel(this, sw - m - 55, sh - 25, 55, 20, QString(), s.labelFont, "Version : ");
    fpsLabel = s.makeLabel(this, m, sh - 50, sw / 4, 25, QString(), s.labelFont, QString());
    cpuGpuLabel = s.makeLabel(this, m, sh - 25, sw / 4, 25, QString(), s.labelFont, QString());

    logoScreen = new LogoScreen(this, style);
    logoScreen->hide();
}

void GUI::buildSettingsWindow() {
    GuiStyle &s = *style;
    settingsWindow = new QWidget(nullptr);
    settingsWindow->setWindowTitle("Settings");
    settingsWindow->setWindowIcon(QIcon(":/images/gear.png"));
    settingsWindow->setStyleSheet(s.backgroundSheet);
    QWidget *p = settingsWindow;

    const auto label = [p](int x, int y, int w, int h, const QFont &font, const QString &text,
                           Qt::Alignment align = Qt::Alignment()) {
        auto *l = new QLabel(p);
        l->setGeometry(x, y, w, h);
        l->setFont(font);
        l->setText(text);
        if (align) l->setAlignment(align);
        return l;
    };
    const auto button = [this, p](int x, int y, int w, int h, const QString &sheet, const QString &text,
                                  int id) {
        auto *b = new QToolButton(p);
        setupButton(b, x, y, w, h, sheet, text, id);
        return b;
    };
    const auto combo = [this, p, &s](int x, int y, const QStringList &items, int current) {
        auto *c = new QComboBox(p);
        setupComboBox(c, x, y, 125, 25, s.comboSheet, s.comboFont, 3);
        c->addItems(items);
        c->setCurrentIndex(current);
        return c;
    };
    const Qt::Alignment leftMid = Qt::AlignLeft | Qt::AlignVCenter;
    const Qt::Alignment rightMid = Qt::AlignRight | Qt::AlignVCenter;

    // Rows are laid out from each other: section titles at x 26, group
    // titles 26 further in, rows 20 further again; controls start at 213.
    const int sectionX = 26, groupX = 52, rowX = 72, ctrlX = 213;
    depthSectionLabel = label(sectionX, 10, 260, 28, s.titleFont, "Depth");
    int y = 10 + 28 + 10;
    initialisationLabel = label(groupX, y, 156, 25, s.titleFont, "Initialisation", leftMid);
    y += 25 + 7;
    modeLabel = label(rowX, y, 156, 25, s.labelFont, "Mode", leftMid);
    perfButton = button(ctrlX, y, 65, 25, s.segmentLeftSheet, "PERF.", 1);
    mediumButton = button(ctrlX + 65, y, 65, 25, s.segmentMiddleSheet, "MEDIUM", 2);
    qualityButton = button(ctrlX + 130, y, 65, 25, s.segmentMiddleSheet, "QUALITY", 3);
    ultraButton = button(ctrlX + 195, y, 65, 25, s.segmentRightSheet, "ULTRA", 4);
    // QUALITY and STANDARD are checked once the connections exist, so that
    // their slots write the starting values into the parameter store.
    modeGroup = new QButtonGroup(p);
    modeGroup->setExclusive(true);
    for (QToolButton *b : {perfButton, mediumButton, qualityButton, ultraButton}) {
        b->setCheckable(true);
        modeGroup->addButton(b);
    }
    y += 25 + 7;
    stabilizationLabel = label(rowX, y, 156, 25, s.labelFont, "Stabilization", leftMid);
    stabilizationCheck = new QCheckBox(p);
    stabilizationCheck->setGeometry(ctrlX, y, 260, 25);
    stabilizationCheck->setStyleSheet(s.switchSheet);
    stabilizationCheck->setChecked(true);
    GlobalParams::setBool(PARAM_STABILIZER, true);
    y += 25 + 20;
    runtimeLabel = label(groupX, y, 156, 25, s.titleFont, "Runtime", leftMid);
    y += 25 + 20;
    sensingLabel = label(rowX, y, 156, 25, s.labelFont, "Sensing", leftMid);
    fillButton = button(ctrlX, y, 130, 25, s.segmentLeftSheet, "FILL", 4);
    standardButton = button(ctrlX + 130, y, 130, 25, s.segmentRightSheet, "STANDARD", 4);
    fillButton->setCheckable(true);
    standardButton->setCheckable(true);
    sensingGroup = new QButtonGroup(p);
    sensingGroup->setExclusive(true);
    sensingGroup->addButton(fillButton);
    sensingGroup->addButton(standardButton);
    y += 25 + 10;
    maxRangeLabel = label(rowX, y, 156, 25, s.labelFont, "Max Range", leftMid);
    maxRangeSlider = new QSlider(Qt::Horizontal, p);
    maxRangeSlider->setGeometry(ctrlX, y, 187, 25);
    maxRangeSlider->setStyleSheet(s.sliderSheet);
    maxRangeSlider->setRange(1000, 40000);
    maxRangeValueLabel = label(ctrlX + 187, y, 72, 25, s.labelFont, QString(), rightMid);
    y += 25 + 10;
    confidenceLabel = label(rowX, y, 156, 25, s.labelFont, "Confidence", leftMid);
    confidenceSlider = new QSlider(Qt::Horizontal, p);
    confidenceSlider->setGeometry(ctrlX, y, 187, 25);
    confidenceSlider->setStyleSheet(s.sliderSheet);
    confidenceSlider->setRange(0, 100);
    confidenceValueLabel = label(ctrlX + 187, y, 72, 25, s.labelFont, QString(), rightMid);
    y += 25 + 10;
    y = buildDepthSettings(p, y) + 10;
    saveSectionLabel = label(sectionX, y, 260, 28, s.titleFont, "Save");
    y += 28 + 10;
    directoryLabel = label(rowX, y, 156, 25, s.labelFont, "Directory");
    selectDirButton = button(ctrlX, y, 125, 25, s.buttonSheet, "Select", 1);
    y += 35;
    const int saveX = ctrlX + 125 + 10, saveW = 125 - 10;
    imageSaveLabel = label(rowX, y, 156, 25, s.labelFont, "Image");
    imageSaveCombo = combo(ctrlX, y, {"left", "right", "side by side"}, 0);
    saveImageButton = button(saveX, y, saveW, 25, s.buttonSheet, "save", 0);
    y += 35;
    depthSaveLabel = label(rowX, y, 156, 25, s.labelFont, "Depth");
    depthFormatCombo = combo(ctrlX, y, {"PNG", "PFM", "PGM"}, 0);
    saveDepthButton = button(saveX, y, saveW, 25, s.buttonSheet, "save", 0);
    y += 35;
    pointCloudSaveLabel = label(rowX, y, 156, 25, s.labelFont, "Point Cloud");
    pointCloudFormatCombo = combo(ctrlX, y, {"XYZ", "PCD", "PLY", "VTK"}, 2);
    savePointCloudButton = button(saveX, y, saveW, 25, s.buttonSheet, "save", 0);
    settingsWindow->setFixedSize(520, y + 25 + 15);
    settingsWindow->hide();
}

void GUI::paintEvent(QPaintEvent *event) {
    // The window itself only shows the logo. Its children repaint through
    // here (a slider or label over the background), so skip what they cover
    // and keep the rendered logo instead of drawing the vector file each time.
    const QRect target = logoRect.toAlignedRect();
    if (!logoRenderer || target.isEmpty() || !event->rect().intersects(target)) return;
    const qreal ratio = devicePixelRatioF();
    const QSize pixels = (QSizeF(logoRect.size()) * ratio).toSize();
    if (logoCache.size() != pixels) {
        logoCache = QPixmap(pixels);
        logoCache.fill(Qt::transparent);
        QPainter logoPainter(&logoCache);
        logoRenderer->render(&logoPainter, QRectF(QPointF(0, 0), QSizeF(pixels)));
        logoCache.setDevicePixelRatio(ratio);
    }
    QPainter painter(this);
    painter.drawPixmap(logoRect.topLeft(), logoCache);
}

void GUI::closeEvent(QCloseEvent *event) {
    // The application object owns the window and decides when it goes.
    emit sendClose();
    event->accept();
    // A settings window left open would otherwise keep the program running.
    if (settingsWindow) settingsWindow->hide();
    if (cameraControlsWindow) cameraControlsWindow->hide();
}
