// The main window: layout invariants, colours a user sees, logo, dropped files, what its controls do.
#include "TestSupport.h"

#include "common/GlobalParams.h"
#include "gui/GUI.h"
#include "gui/GuiStyle.h"
#include "gui/LogoScreen.h"
#include "twl/core/Types.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QMimeData>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSlider>
#include <QSpinBox>
#include <QToolButton>
#include <QtTest>

#include <algorithm>
#include <functional>
#include <memory>

using TestSupport::makeWindow;

class TestGui : public QObject {
    Q_OBJECT
private slots:
    void viewsKeepTheirShape_data() {
        QTest::addColumn<QSize>("size");
        QTest::newRow("minimum") << QSize(1280, 720);
        QTest::newRow("taller") << QSize(1600, 1000);
        QTest::newRow("wide") << QSize(1900, 760);
    }
    void viewsKeepTheirShape() {
        QFETCH(QSize, size);
        auto gui = makeWindow(size.width(), size.height());
        QCOMPARE(gui->size(), size);
        gui->setInputState(3, 100); // the playback bar shows too
        QVERIFY(gui->rect().contains(gui->logoRect.toRect()));
        // The 2D views are equal and never wider than a 16:9 picture of their height.
        const QWidget *image = reinterpret_cast<QWidget *>(gui->imageView);
        const QWidget *depth = reinterpret_cast<QWidget *>(gui->depthView);
        const QWidget *cloud = reinterpret_cast<QWidget *>(gui->pointCloudView);
        QCOMPARE(image->size(), depth->size());
        QVERIFY2(image->width() * 9 <= (image->height() + 1) * 16,
                 qPrintable(QString("%1x%2").arg(image->width()).arg(image->height())));
        QVERIFY(!image->geometry().intersects(depth->geometry()));
        QVERIFY(!cloud->geometry().intersects(image->geometry().united(depth->geometry())));
    }

    void settingsWindowKeepsItsControlsAndOpensInTheMiddle() {
        auto gui = makeWindow(1280, 720, QPoint(100, 80));
        // It cannot be squeezed until its controls are cut off.
        QWidget *s = gui->settingsWindow;
        s->resize(s->size() / 2);
        for (QWidget *w : s->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly))
            QVERIFY2(s->rect().contains(w->geometry()), w->metaObject()->className());
        // It opens in the middle of the window, and goes back there when asked for while open.
        const QPoint middle = gui->pos() + QPoint(gui->width() / 2, gui->height() / 2);
        gui->settingsButton->click();
        QVERIFY(s->isVisible());
        QCOMPARE(s->pos() + QPoint(s->width() / 2, s->height() / 2), middle);
        s->move(5, 5);
        gui->showSettings(false);
        QCOMPARE(s->pos() + QPoint(s->width() / 2, s->height() / 2), middle);
    }

    void everyPictureTheWidgetsNameIsCompiledIn() {
        auto gui = makeWindow();
        QList<QWidget *> widgets =
            gui->findChildren<QWidget *>() + gui->settingsWindow->findChildren<QWidget *>();
        const QRegularExpression url(":/(images/[A-Za-z0-9_]+\\.png|SVG/[A-Za-z0-9_]+\\.svg)");
        int found = 0;
        for (const QWidget *w : widgets)
            for (auto it = url.globalMatch(w->styleSheet()); it.hasNext(); ++found) {
                const QString path = it.next().captured(0);
                QVERIFY2(!QImage(path).isNull(), qPrintable(path));
            }
        QVERIFY(found > 10);
    }

    void logoIsPaintedCentredAndInTheWindow() {
        GuiStyle style;
        LogoScreen screen(nullptr, &style);
        screen.setStyleSheet("background-color: black;");
        screen.setAttribute(Qt::WA_StyledBackground);
        screen.resize(800, 600);
        screen.show();
        QVERIFY(QTest::qWaitForWindowExposed(&screen));
        QCOMPARE(screen.logoRect.center(), QPointF(400, 300));
        const QImage img = screen.grab().toImage();
        const QImage logoArea = img.copy(screen.logoRect.toRect());
        QVERIFY(TestSupport::countNear(logoArea, 255, 255, 255, 3) > 0);
        QVERIFY(TestSupport::countNear(logoArea, 0, 172, 236, 3) > 0); // the accent blue
        QCOMPARE(img.pixel(10, 10) & 0xffffff, 0u);                    // nothing outside the logo
        auto gui = makeWindow();
        QVERIFY(TestSupport::countNear(gui->grab().toImage(), 0, 172, 236, 3, gui->logoRect.toRect()) > 0);
        QVERIFY(LogoScreen::recolourSvg("not svg <", "W", "B").isEmpty());
    }

    void droppingFiles() {
        auto gui = makeWindow();
        QSignalSpy spy(gui.get(), SIGNAL(sendTWVWork(QString)));
        // A drop reaches only the widget that took the drag's enter event.
        const auto drop = [&](const QList<QUrl> &urls, const QString &text = QString()) {
            QMimeData data;
            text.isEmpty() ? data.setUrls(urls) : data.setText(text);
            QDragEnterEvent enter(QPoint(600, 300), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(gui.get(), &enter);
            QDropEvent event(QPointF(600, 300), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(gui.get(), &event);
        };
        // Only local .twv files are taken, the first of several; any other file in the drop spoils it.
        drop({QUrl("file:///data/walk.TWV")});
        drop({QUrl("file:///data/walk.twv.bak")});
        drop({QUrl("file:///data/notes.txt"), QUrl("file:///data/walk.twv")});
        drop({QUrl("https://example.org/walk.twv")});
        drop({});
        QCOMPARE(spy.count(), 0);
        drop({QUrl::fromLocalFile("/data/my walk#1.twv"), QUrl("file:///data/b.twv")});
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.takeFirst().at(0).toString(), QString("/data/my walk#1.twv"));
        drop({QUrl("file:///data/walk.twv.partial")}); // what a crash leaves
        QCOMPARE(spy.count(), 1);
        spy.clear();
        drop({}, "file:///data/walk.twv"); // a path as plain text is no file
        QCOMPARE(spy.count(), 0);
    }

    void resolutionRefillsFrameRates() {
        auto gui = makeWindow();
        QSignalSpy input(gui.get(), SIGNAL(changeInput(int)));
        QSignalSpy askFps(gui.get(), SIGNAL(askChangeFPS()));
        gui->changeRes(3);
        QCOMPARE(gui->fpsCombo->count(), 4);
        QCOMPARE(GlobalParams::getInt(PARAM_CAMERA_FPS), 100); // a resolution starts at its highest rate
        // Keeping the rate lowers it to what the new resolution offers, once.
        gui->keepFpsOnResolutionChange = true;
        gui->changeRes(2);
        QCOMPARE(GlobalParams::getInt(PARAM_CAMERA_FPS), 60);
        QVERIFY(!gui->keepFpsOnResolutionChange);
        // A chosen rate goes to the running camera, not through a new input; refills never ask for one.
        const int inputs = input.count();
        gui->fpsCombo->setCurrentIndex(0);
        QCOMPARE(GlobalParams::getInt(PARAM_CAMERA_FPS), 15);
        QCOMPARE(input.count(), inputs);
        QCOMPARE(askFps.count(), 1);
    }

    void grabbingTheFrameSliderPausesOnlyWhileHeld() {
        auto gui = makeWindow();
        gui->setInputState(3, 200);
        gui->activStart();
        QVERIFY(!GlobalParams::getBool(PARAM_PAUSE));
        // Grabbing the slider pauses a running playback and resumes it, but a pause the user set survives.
        for (bool userPaused : {false, true}) {
            if (userPaused) gui->pauseButton->click();
            gui->frameSlider->setSliderDown(true);
            QVERIFY(GlobalParams::getBool(PARAM_PAUSE));
            gui->frameSlider->setSliderDown(false);
            QCOMPARE(GlobalParams::getBool(PARAM_PAUSE), userPaused);
        }
        gui->pauseButton->click();
        QVERIFY(!GlobalParams::getBool(PARAM_PAUSE));
    }

    void slidersAndSelectorsReachTheStore() {
        auto gui = makeWindow();
        gui->maxRangeSlider->setValue(12345);
        QCOMPARE(GlobalParams::getInt(PARAM_DEPTH_MAX), 12345);
        // A selection out of range falls back to the first entry, box and store alike.
        gui->viewCombo->setCurrentIndex(2);
        gui->changeViewIm(5);
        QCOMPARE(gui->viewCombo->currentIndex(), 0);
        QCOMPARE(GlobalParams::getInt(PARAM_IMAGE_VIEW), 0);
        gui->dataCombo->setCurrentIndex(1);
        gui->changeViewDepth(-1);
        QCOMPARE(gui->dataCombo->currentIndex(), 0);
        QCOMPARE(GlobalParams::getInt(PARAM_DEPTH_VIEW), int(twl::VIEW_DEPTH));
        // "speed xN" steps playback and the frame box by N frames (the first entry is chosen already).
        gui->setInputState(3, 100);
        for (int i = gui->speedCombo->count() - 1; i >= 0; --i) {
            gui->speedCombo->setCurrentIndex(i);
            const int n = gui->speedCombo->currentText().section('x', -1).toInt();
            QVERIFY2(n >= 1, qPrintable(gui->speedCombo->currentText()));
            QCOMPARE(GlobalParams::getInt(PARAM_TWV_STEP), n);
            gui->frameSpinBox->setValue(10);
            gui->frameSpinBox->stepUp();
            QCOMPARE(gui->frameSpinBox->value(), 10 + n);
        }
    }

    void inputStates() {
        auto gui = makeWindow();
        const QList<QWidget *> liveOnly = {gui->resolutionCombo, gui->fpsCombo};
        const QList<QWidget *> playbackOnly = {gui->fileNameLabel, gui->stopButton, gui->frameSlider};
        const auto visible = [](const QList<QWidget *> &list, bool want) {
            return std::all_of(list.begin(), list.end(),
                               [want](QWidget *w) { return w->isVisible() == want; });
        };
        gui->setInputState(2, 0);
        QVERIFY(visible(liveOnly, true) && visible(playbackOnly, false));
        QCOMPARE(gui->maxRangeSlider->value(), GlobalParams::kStartDepthMaxOtherModelMm);
        GlobalParams::setBool(PARAM_MODEL_FLAG, true);
        gui->setInputState(3, 120);
        QVERIFY(visible(liveOnly, false) && visible(playbackOnly, true));
        QCOMPARE(gui->frameSlider->value(), 0);
        QCOMPARE(gui->frameSlider->maximum(), 120);
        QCOMPARE(gui->frameSpinBox->maximum(), 120);
        gui->frameSpinBox->setValue(10); // slider and box follow each other
        QCOMPARE(gui->frameSlider->value(), 10);
        gui->frameSlider->setValue(20);
        QCOMPARE(gui->frameSpinBox->value(), 20);
        QCOMPARE(gui->maxRangeSlider->value(), GlobalParams::kStartDepthMaxMm);
        gui->statusLabel->setText("No camera detected");
        gui->setInputState(0, 0);
        QVERIFY(visible(liveOnly, false) && visible(playbackOnly, false));
        QCOMPARE(gui->statusLabel->text(), QString("No camera detected")); // the reason stays
    }

    void statusLineFollowsTheLoadAndTheDepthRate() {
        auto gui = makeWindow();
        gui->fpsLabel->setText("old");
        GlobalParams::setInt(PARAM_DEPTH_FPS, 30);
        gui->ShowFPSDepth(); // no session: the label keeps what it had
        QCOMPARE(gui->fpsLabel->text(), QString("old"));
        GlobalParams::setInt(PARAM_CAM_WIDTH, 1280);
        GlobalParams::stringRef(PARAM_STATUS_TEXT) = "load line";
        // Within a few frames the window shows the load line and the measured rate, and a new rate.
        const auto withinFrames = [&](const std::function<bool()> &shown) {
            for (int i = 0; i < 10 && !shown(); ++i)
                gui->updateImage();
            return shown();
        };
        const auto rateShown = [&](const char *rate) {
            return gui->fpsLabel->text().contains(QRegularExpression(QString("(?<!\\d)%1(?!\\d)").arg(rate)));
        };
        QVERIFY(withinFrames([&] { return gui->cpuGpuLabel->text() == "load line" && rateShown("30"); }));
        GlobalParams::setInt(PARAM_DEPTH_FPS, 25);
        QVERIFY2(withinFrames([&] { return rateShown("25"); }), qPrintable(gui->fpsLabel->text()));
    }

    void closingEmitsAndLeavesDeletionToTheOwner() {
        auto gui = makeWindow();
        QSignalSpy spy(gui.get(), SIGNAL(sendClose()));
        gui->showSettings(false);
        QVERIFY(gui->settingsWindow->isVisible());
        QVERIFY(gui->close());
        QVERIFY(!gui->settingsWindow->isVisible());
        QCOMPARE(spy.count(), 1);
        QPointer<GUI> window = gui.get();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!window.isNull()); // closing leaves deletion to the owner
        // The parentless settings window goes with the main window.
        QPointer<QWidget> settings = gui->settingsWindow;
        gui.reset();
        QVERIFY(settings.isNull());
    }
};

QTEST_MAIN(TestGui)
#include "test_gui.moc"
