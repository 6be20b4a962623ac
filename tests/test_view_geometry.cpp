// What the user sees where: cloud proportions and thinning, the top band at every size, the slider's pace.
#include "TestSupport.h"

#include "capture/InputThreadModul.h"
#include "common/GlobalParams.h"
#include "gui/GUI.h"
#include "gui/GuiStyle.h"
#include "render/OGL3DWidget.h"
#include "render/OGLCamera.h"
#include "twl/core/Mat.h"
#include "twl/io/Export.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QSignalSpy>
#include <QSlider>
#include <QToolButton>
#include <QtTest>
#include <limits>

namespace {

struct CloudView {
    QWidget window;
    OGL3DWidget *view = new OGL3DWidget(&window);
    CloudView(QSize windowSize, QSize viewSize) {
        window.resize(windowSize);
        view->resize(viewSize);
        window.show();
        if (!QTest::qWaitForWindowExposed(&window)) QTest::qFail("window not exposed", __FILE__, __LINE__);
    }
};

} // namespace

class TestViewGeometry : public QObject {
    Q_OBJECT
private slots:
    void init() { GlobalParams::reset(); }

    void cloudKeepsItsProportionsAndSize() {
        CloudView c(QSize(800, 400), QSize(640, 360));
        twl::Mat cloud(8, 4, twl::MAT_TYPE_32F_C4, twl::MEM_GPU);
        for (int input = 0; input < 3; ++input) // every new input sets the scene up again
            c.view->InitProcess(reinterpret_cast<int *>(&cloud));
        QCOMPARE(c.view->size(), QSize(640, 360));
        // Pixels are square: one metre across spans as many pixels as one metre up.
        for (QSize size : {QSize(640, 360), QSize(300, 380), QSize(790, 200)}) {
            c.view->resize(size);
            const twl::Matrix4f &p = c.view->camera()->getProjection();
            QVERIFY(std::abs(double(p(0, 0)) * size.width() - double(p(1, 1)) * size.height()) <
                    1e-3 * size.height());
        }
    }

    void decimatedCloudOnlyWhilePlayingInSoftware() {
        CloudView c(QSize(320, 240), QSize(320, 240));
        OGL3DWidget *view = c.view;
        // Empty but for two points, big enough to be thinned: red on a kept column, green on a dropped one.
        const size_t W = 512, H = 256, all = W * H;
        twl::Mat cloud(W, H, twl::MAT_TYPE_32F_C4, twl::MEM_GPU);
        const float nan = std::numeric_limits<float>::quiet_NaN();
        for (size_t y = 0; y < H; ++y)
            for (size_t x = 0; x < W; ++x)
                cloud.setValue(x, y, twl::Vector4<float>(nan, nan, nan, 0), twl::MEM_GPU);
        cloud.setValue(2, 2, twl::Vector4<float>(-0.5f, 0, -2, twl::packColor(255, 0, 0)), twl::MEM_GPU);
        cloud.setValue(5, 2, twl::Vector4<float>(0.5f, 0, -2, twl::packColor(0, 255, 0)), twl::MEM_GPU);
        view->InitProcess(reinterpret_cast<int *>(&cloud));
        for (int i = 0; i < 20; ++i)
            QTest::keyClick(view, Qt::Key_P); // 6.6-pixel points
        view->setActive(true);
        view->Ingest();
        // Whether point (x, 0, -2), on the view's centre row, shows in colour (r, g, 0).
        const auto shows = [&](const QImage &shot, float x, int r, int g) {
            const twl::Vector4<float> clip =
                view->camera()->getViewProjection() * twl::Vector4<float>(x, 0, -2, 1);
            const int px = int((clip.x / clip.w + 1) * 0.5f * float(view->width()));
            return TestSupport::near(shot.pixel(px, view->height() / 2), r, g, 0, 40);
        };
        QImage shot = view->grabFramebuffer();
        const bool software = view->isSoftwareRenderer();
        QCOMPARE(size_t(view->drawnPoints()), software ? all / 4 : all);
        QVERIFY(shows(shot, -0.5f, 255, 0));
        QCOMPARE(shows(shot, 0.5f, 0, 255), !software);
        // Paused, or asked to paint all, every point is drawn.
        GlobalParams::setBool(PARAM_PAUSE, true);
        shot = view->grabFramebuffer();
        QCOMPARE(size_t(view->drawnPoints()), all);
        QVERIFY(shows(shot, 0.5f, 0, 255));
        GlobalParams::setBool(PARAM_PAUSE, false);
        GlobalParams::setBool(PARAM_PAINT_ALL, true);
        view->grabFramebuffer();
        QCOMPARE(size_t(view->drawnPoints()), all);
    }

    // Every widget stays inside the window, and nothing overlaps in the band above the views.
    void widgetsFitEveryWindowSize() {
        auto gui = TestSupport::makeWindow(1280, 720);
        const QString longName = "/media/recordings/" + QString(60, 'x') + "/warehouse-walk-through.twv";
        gui->idField->setText("0");
        gui->serialField->setText("123456789");
        // As built, and as on a system whose fonts run wider.
        for (const int state : {0, 2, 3, 4}) {
            if (state == 4) gui->style->labelFont.setPointSize(gui->style->labelFont.pointSize() + 3);
            gui->setInputState(std::min(state, 3), 100);
            if (state == 3) gui->setFileName(longName);
            for (QSize size : {QSize(1280, 720), QSize(1310, 737), QSize(1900, 760), QSize(1600, 1000),
                               QSize(1920, 1080)}) {
                gui->resize(size);
                QCOMPARE(gui->size(), size);
                const int viewsTop = reinterpret_cast<QWidget *>(gui->imageView)->y();
                QList<QWidget *> band;
                const QString where = QString("state %1, width %2: ").arg(state).arg(size.width());
                for (QWidget *w : gui->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly)) {
                    if (!w->isVisible() || w->width() <= 0) continue;
                    QVERIFY2(gui->rect().contains(w->geometry()),
                             qPrintable(where + w->metaObject()->className() + " " + w->objectName() +
                                        " outside"));
                    if (w->geometry().bottom() < viewsTop) band << w;
                }
                for (int i = 0; i < band.size(); ++i)
                    for (int j = i + 1; j < band.size(); ++j)
                        QVERIFY2(!band[i]->geometry().intersects(band[j]->geometry()),
                                 qPrintable(where + band[i]->metaObject()->className() + " overlaps " +
                                            band[j]->metaObject()->className()));
            }
        }
        QVERIFY(gui->settingsButton->isVisible());
        QCOMPARE(gui->fileNameLabel->toolTip(), longName);
    }

    void sliderFollowsPlaybackAFewTimesASecond() {
        const QString path = TestSupport::dataDir() + "/geometry-vga-60.twv";
        const auto r = TestSupport::runTwv(
            {"record", path, "--virtual", "--resolution", "VGA", "--fps", "100", "--frames", "60"});
        QVERIFY2(r.exitCode == 0, qPrintable(r.err));
        GlobalParams::setInt(PARAM_TWV_STEP, 1);
        GlobalParams::setInt(PARAM_DEPTH_QUALITY, twl::DEPTH_MODE_PERFORMANCE);
        GlobalParams::setInt(PARAM_DEPTH_MAX, 15000);
        GlobalParams::setInt(PARAM_CONFIDENCE, 100);
        QSlider slider; // on screen: a hidden one costs nothing to move
        slider.setRange(0, 1000);
        slider.show();
        auto *session = new InputThreadModul;
        session->positionSlider = &slider;
        QCOMPARE(session->openFile(path), twl::SUCCESS);
        connect(session, &InputThreadModul::sendContext, session,
                [session] { session->enableToStart(true); });
        QVERIFY(session->initialize());
        QSignalSpy grabbed(session, &InputThreadModul::SendImage);
        QSignalSpy moved(&slider, &QSlider::valueChanged);
        session->startCapture();
        QTest::qWait(2000);
        const int grabs = grabbed.count(), moves = moved.count();
        delete session;
        // 4 moves a second at most, and it does keep moving.
        QVERIFY2(moves >= 2 && moves <= 10, qPrintable(QString("%1 moves, %2 grabs").arg(moves).arg(grabs)));
    }
};

QTEST_MAIN(TestViewGeometry)
#include "test_view_geometry.moc"
