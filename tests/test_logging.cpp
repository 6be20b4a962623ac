// One logging channel: VANTARO_LOG opens every layer's detail, twl messages arrive as vantaro.twl, -r warns.
#include "app/AppLog.h"
#include "app/CommandLineOptions.h"
#include "capture/CaptureLog.h"
#include "twl/util/Log.h"

#include <QtTest>

namespace {

QStringList seen; // "category: message"

void keep(QtMsgType, const QMessageLogContext &context, const QString &message) {
    seen << QString(context.category) + ": " + message;
}

} // namespace

class TestLogging : public QObject {
    Q_OBJECT

private slots:
    void init() {
        seen.clear();
        qInstallMessageHandler(keep);
    }
    void cleanup() { qInstallMessageHandler(nullptr); }

    void vantaroLogSetsTheLevelAndTwlIsRouted() {
        QVERIFY(!lcCapture().isDebugEnabled());
        qputenv("VANTARO_LOG", "debug");
        AppLog::setUp();
        QVERIFY(lcCapture().isDebugEnabled());
        twl::log(twl::LogLevel::Debug, "from the camera layer");
        QCOMPARE(seen, QStringList{"vantaro.twl: from the camera layer"});
        qputenv("VANTARO_LOG", "warning");
        AppLog::setUp();
        QVERIFY(!lcCapture().isDebugEnabled());
        QVERIFY(!lcApp().isInfoEnabled() && lcApp().isWarningEnabled());
        twl::setLogSink(nullptr);
        qunsetenv("VANTARO_LOG");
    }

    void unmatchedResolutionWarnsWithTheAcceptedNames() {
        CommandLineOptions::parse({"vantaro", "-r", "720"});
        QVERIFY(seen.isEmpty());
        QCOMPARE(CommandLineOptions::parse({"vantaro", "-r", "FOO"}).resolutionIndex, 2);
        QCOMPARE(seen.size(), 1);
        QVERIFY2(seen[0].startsWith("vantaro.app: ") && seen[0].contains("'FOO'") &&
                     seen[0].contains("HD2K, HD1080, HD720 or VGA"),
                 qPrintable(seen[0]));
    }
};

QTEST_GUILESS_MAIN(TestLogging)
#include "test_logging.moc"
