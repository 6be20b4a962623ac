// Every input that once broke the recording reader (fuzz/regressions) still reads to frames or an error.
#include "TwvReadAll.h"

#include <QtTest>

class TestFuzzRegressions : public QObject {
    Q_OBJECT
private slots:
    void replayEveryKeptInput() {
        const QFileInfoList inputs = QDir(FUZZ_REGRESSIONS_DIR).entryInfoList(QDir::Files); // .keep is hidden
        for (const QFileInfo &input : inputs)
            qInfo("%s: %d frames", qPrintable(input.fileName()),
                  TwvReadAll::readAll(input.absoluteFilePath().toStdString()));
        // A file that is no recording at all gives an error, not a crash.
        QTemporaryFile junk;
        QVERIFY(junk.open());
        junk.write(QByteArray(300, '\x7f'));
        junk.close();
        QCOMPARE(TwvReadAll::readAll(junk.fileName().toStdString()), -1);
    }
};

QTEST_GUILESS_MAIN(TestFuzzRegressions)
#include "test_fuzz_regressions.moc"
