#pragma once
// The main window: top bar, the three views, the playback bar, the status
// line, the logo overlay and the separate settings window. No layout managers:
// every child is placed by arithmetic on the window size in resizeEvent.

#include <QList>
#include <QMainWindow>
#include <QPixmap>
#include <QPointF>
#include <QRectF>
#include <QString>
#include <QStringList>

class QButtonGroup;
class QCheckBox;
class QCloseEvent;
class QComboBox;
class QDragEnterEvent;
class QDropEvent;
class QLabel;
class QLineEdit;
class QPaintEvent;
class QResizeEvent;
class QShortcut;
class QTimer;
class QSlider;
class QSpinBox;
class QSvgRenderer;
class QToolButton;
class QUrl;
class QWidget;

class CameraControlsWindow;
class FrameProbe;
class GuiStyle;
class LogoScreen;
class OGL2DWidget;
class OGL3DWidget;

class GUI : public QMainWindow {
    Q_OBJECT

public:
    GUI();
    ~GUI() override;

    /// Creates every widget, the settings window and the internal connections.
    /// Call once, before giving the window its geometry and showing it.
    void buildInterface();

    /// 0 no input, 1 opening, 2 live camera, 3 playback of a recorded file
    /// whose last frame index is lastFrame.
    void setInputState(int state, int lastFrame);

    /// Path of a drop as this platform spells local files; empty when the
    /// URL is not a local file. Exposed for the drop handling and its tests.
    static QString droppedPath(const QUrl &url);

    /// The open recording's name, shown in the top band (elided to fit).
    void setFileName(const QString &name);
    /// What the read-out under the pointer shows now (empty when hidden).
    QString readoutText() const;

    /// Shows a recording under way (the record button red) or none. While
    /// one runs, the settings that would reopen the camera or change its
    /// rate are disabled, saying why.
    void setRecording(bool on);
    bool isRecording() const { return recording; }
    /// The recording line of the top band: `text` elided to fit, in the
    /// warning colour when `warning`; `details` (else the text) as tool tip.
    /// An empty text hides it.
    void setRecordText(const QString &text, bool warning = false, const QString &details = QString());

    QSvgRenderer *logoRenderer = nullptr;
    QRectF logoRect;

    QToolButton *liveButton = nullptr;
    QToolButton *loadFileButton = nullptr;
    QToolButton *recordButton = nullptr; // Ctrl+R too
    QLabel *recordLabel = nullptr;
    QShortcut *recordShortcut = nullptr;
    QLabel *statusLabel = nullptr;
    QComboBox *resolutionCombo = nullptr;
    QComboBox *fpsCombo = nullptr;
    QLineEdit *resolutionField = nullptr;
    QLineEdit *fpsField = nullptr;
    QLabel *fileNameLabel = nullptr;
    QStringList fpsList;
    OGL3DWidget *pointCloudView = nullptr;
    OGL2DWidget *imageView = nullptr;
    OGL2DWidget *depthView = nullptr;
    QToolButton *settingsButton = nullptr;
    QComboBox *speedCombo = nullptr;
    QSlider *frameSlider = nullptr;
    QToolButton *pauseButton = nullptr;
    QToolButton *stopButton = nullptr;
    QSpinBox *frameSpinBox = nullptr;
    QLabel *viewLabel = nullptr;
    QComboBox *viewCombo = nullptr;
    QLabel *dataLabel = nullptr;
    QComboBox *dataCombo = nullptr;
    QLabel *colourLabel = nullptr;
    QComboBox *colourCombo = nullptr; // colour map of the depth picture
    /// Depth, X Y Z and confidence under the pointer, or a short notice.
    QLabel *readoutLabel = nullptr;
    /// Reads the current frame's points for the read-out and the measure;
    /// bound to the capture session's matrices by the application object.
    FrameProbe *frameProbe = nullptr;
    QLabel *serialLabel = nullptr;
    QLineEdit *serialField = nullptr;
    QLabel *idLabel = nullptr;
    QLineEdit *idField = nullptr;
    QLabel *fpsLabel = nullptr;
    QLabel *versionLabel = nullptr;
    QLabel *cpuGpuLabel = nullptr;

    QWidget *settingsWindow = nullptr;
    QLabel *depthSectionLabel = nullptr;
    QLabel *maxRangeLabel = nullptr;
    QSlider *maxRangeSlider = nullptr;
    QLabel *maxRangeValueLabel = nullptr;
    QLabel *confidenceLabel = nullptr;
    QSlider *confidenceSlider = nullptr;
    QLabel *confidenceValueLabel = nullptr;
    QLabel *depthRangeLabel = nullptr;
    QToolButton *autoRangeButton = nullptr;
    QToolButton *fixedRangeButton = nullptr;
    QButtonGroup *depthRangeGroup = nullptr;
    QLabel *cloudColourLabel = nullptr;
    QToolButton *imageColourButton = nullptr;
    QToolButton *depthColourButton = nullptr;
    QButtonGroup *cloudColourGroup = nullptr;
    QLabel *sensingLabel = nullptr;
    QToolButton *fillButton = nullptr;
    QToolButton *standardButton = nullptr;
    QButtonGroup *sensingGroup = nullptr;
    QLabel *modeLabel = nullptr;
    QToolButton *perfButton = nullptr;
    QToolButton *mediumButton = nullptr;
    QToolButton *qualityButton = nullptr;
    QToolButton *ultraButton = nullptr;
    QButtonGroup *modeGroup = nullptr;
    QLabel *stabilizationLabel = nullptr;
    QCheckBox *stabilizationCheck = nullptr;
    QLabel *initialisationLabel = nullptr;
    QLabel *runtimeLabel = nullptr;
    QLabel *saveSectionLabel = nullptr;
    QLabel *directoryLabel = nullptr;
    QToolButton *selectDirButton = nullptr;
    QLabel *imageSaveLabel = nullptr;
    QComboBox *imageSaveCombo = nullptr;
    QToolButton *saveImageButton = nullptr;
    QLabel *depthSaveLabel = nullptr;
    QComboBox *depthFormatCombo = nullptr;
    QToolButton *saveDepthButton = nullptr;
    QLabel *pointCloudSaveLabel = nullptr;
    QComboBox *pointCloudFormatCombo = nullptr;
    QToolButton *savePointCloudButton = nullptr;
    /// Opens the camera's image controls, a window of its own (no parent).
    QToolButton *cameraButton = nullptr;
    CameraControlsWindow *cameraControlsWindow = nullptr;
    QLabel *recordSaveLabel = nullptr;
    QComboBox *recordCodecCombo = nullptr; // 0 JPEG, 1 lossless

    GuiStyle *style = nullptr;
    LogoScreen *logoScreen = nullptr;

    int inputState = 0;
    int resolutionIndex = 0;
    int fpsIndex = 0;
    bool keepFpsOnResolutionChange = false;
    bool forcedPause = false;
    bool updatingFpsList = false;
    int frameCounter = 0;

signals:
    void sendClose();
    void changeInput(int);
    void askChangeFPS();
    void sendTWVWork(QString);
    void QualityHasChanged();

public slots:
    void activStart();
    void pauseScan(bool);
    void changeDepthClamp(int v);
    void changeConfidence(int v);
    void changeRes(int index, bool force = false);
    void changeFPS(int);
    void changeSensing(bool);
    void changeViewIm(int index);
    void changeViewDepth(int index);
    void ShowFPSDepth();
    void PrintCPUGPUInfos();
    void PrintVEXOSDKVersion();
    void showSettings(bool);
    void changeStepTWV(int index);
    void updateGLWindow();
    void ForcePauseButton(bool c);
    void ChangeQuality(bool checked);
    void enableStabilizer(bool state);
    void updateImage();
    void updateImagePC();
    void changeColormap(int index);
    void changeDepthRange(bool);
    void changeCloudColours(bool);
    /// Escape: forgets both measured points.
    void clearMeasure();
    /// A Shift+click: the second point of the measure, refused without depth.
    void pickSecondPoint(QPointF fraction);

private slots:
    void ForcePause();
    void UnForcePause();

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    void setupButton(QToolButton *button, int x, int y, int w, int h, const QString &sheet,
                     const QString &text, int id);
    void setupComboBox(QComboBox *combo, int x, int y, int w, int h, const QString &sheet, const QFont &font,
                       int id);
    void buildMainWidgets();
    void buildSettingsWindow();
    void placeStatusLabel();
    void placeFileNameLabel();
    void placeIdentityGroup();
    // Depth look, read-out and measure (GUIDepth.cpp).
    void buildDepthControls();
    /// The settings rows of the depth look, from row `y`; returns the next row's y.
    int buildDepthSettings(QWidget *parent, int y);
    void connectDepthControls();
    void placeSelectorRow(int rowY);
    void pointerOver(OGL2DWidget *view, QPointF fraction);
    void pointerGone(OGL2DWidget *view);
    void refreshReadout();
    void showReadoutNotice(const QString &text);
    void updateViews();

    QString fileName;
    QPixmap logoCache;
    OGL2DWidget *readoutView = nullptr;
    QPointF readoutAt;
    QTimer *readoutTimer = nullptr;
    QTimer *noticeTimer = nullptr;
    QString readoutNotice;
    QShortcut *escapeShortcut = nullptr;

    // Recording (GUIRecord.cpp).
    void buildRecordWidgets();
    void updateRecordButton();
    void placeRecordLabel();
    bool recording = false;
    QString recordText;
    /// What setRecording(true) changed, to put back afterwards.
    struct HeldControl {
        QWidget *widget;
        bool enabled;
        QString toolTip;
    };
    QList<HeldControl> heldControls;
};
