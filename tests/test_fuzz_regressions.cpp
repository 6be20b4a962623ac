// The recording reader on the fuzz target's seeds and on every input that once broke it (fuzz/regressions):
// the seeds read back whole, the kept inputs read to frames or an error.
#include "TwvReadAll.h"
#include "TwvSeeds.h"

#include <QtTest>

class TestFuzzRegressions : public QObject {
    Q_OBJECT
private slots:
    void seedsReadBackWhole() {
        // The fuzzer starts from these; a reader that misreads them explores nothing worth having.
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        for (const TwvSeeds::Seed &seed : TwvSeeds::kSeeds) {
            QVERIFY2(TwvSeeds::write(dir.path().toStdString(), seed), seed.name);
            QCOMPARE(TwvReadAll::readAll(dir.filePath(seed.name).toStdString()), seed.frames);
        }
    }

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
