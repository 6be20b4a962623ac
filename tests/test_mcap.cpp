// MCAP files and ROS 2 messages: the records, CRCs and indexes a seeking reader relies on, and the point
// cloud's frame and colours. (Foxglove's own readers check every message's bytes in CI.)
#include "TestSupport.h"
#include "twl/core/Mat.h"
#include "twl/mcap/Cdr.h"
#include "twl/mcap/McapReader.h"
#include "twl/mcap/McapWriter.h"
#include "twl/mcap/RosMessages.h"

#include <QtTest>

#include <cmath>
#include <cstring>
#include <limits>

using namespace twl;
using TestSupport::readFile;

namespace {

using Bytes = std::vector<unsigned char>;

void writeAll(const QString &path, const QByteArray &bytes) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size());
}

} // namespace

class TestMcap : public QObject {
    Q_OBJECT
    QTemporaryDir dir;

private slots:
    void writerOutputReadsBackWithEveryCheckPassing() {
        const QString path = dir.filePath("two.mcap");
        McapWriter writer;
        McapWriter::Options options;
        options.chunkSize = 200; // several chunks, most holding messages of both channels
        QCOMPARE(writer.open(path.toStdString(), options), SUCCESS);
        const uint16_t schema = writer.addSchema("pkg/msg/Thing", "ros2msg", "uint8[] data\n");
        const uint16_t a = writer.addChannel(schema, "/a", "cdr", {{"offered_qos_profiles", ""}});
        const uint16_t b = writer.addChannel(schema, "/b", "cdr");
        writer.addChannel(schema, "/never", "cdr"); // no message: stays out of the file
        for (int i = 0; i < 9; ++i) {
            const std::string payload(size_t(10 + 37 * i), char('a' + i));
            QCOMPARE(writer.write(i % 3 ? a : b, 1000 + uint64_t(i) * 10, 2000 + uint64_t(i), payload.data(),
                                  payload.size()),
                     SUCCESS);
        }
        QCOMPARE(writer.close(), SUCCESS);

        McapReader reader;
        std::string error;
        QVERIFY2(reader.open(path.toStdString(), &error), error.c_str());
        QCOMPARE(reader.profile(), std::string("ros2"));
        QVERIFY(reader.chunkCount() >= 3);
        QCOMPARE(int(reader.channels().size()), 2);
        QCOMPARE(reader.channels().at(a).metadata.at("offered_qos_profiles"), std::string());
        QCOMPARE(reader.schemaOf("/b")->data, std::string("uint8[] data\n"));
        QCOMPARE(int(reader.messages().size()), 9);
        for (int i = 0; i < 9; ++i) {
            const McapReader::Message &m = reader.messages()[size_t(i)];
            QCOMPARE(m.channelId, i % 3 ? a : b);
            QCOMPARE(m.sequence, uint32_t(i % 3 ? i - 1 - i / 3 : i / 3)); // counted per channel
            QVERIFY(m.logTime == 1000 + uint64_t(i) * 10 && m.publishTime == 2000 + uint64_t(i));
            QCOMPARE(m.data, Bytes(size_t(10 + 37 * i), 'a' + i));
        }

        // Each check is real: a changed byte or a cut end is found, and says where.
        const QByteArray good = readFile(path);
        // The first chunk's data lies past its compression name and records length; the summary
        // starts where the footer's first field says.
        const int chunkData = good.indexOf("zstd") + 12;
        int summary = 0;
        std::memcpy(&summary, good.constData() + good.size() - 28, 4);
        const QList<QPair<int, QString>> damage = {
            {chunkData + 3, "chunk at offset"}, {summary + 12, "summary's CRC"}, {good.size() - 3, "magic"}};
        for (const auto &d : damage) {
            QByteArray bad = good;
            bad[d.first] = char(bad[d.first] ^ 0x5a);
            writeAll(path, bad);
            QVERIFY(!reader.open(path.toStdString(), &error));
            QVERIFY2(QString::fromStdString(error).contains(d.second), error.c_str());
        }
        writeAll(path, good.left(good.size() - 30));
        QVERIFY(!reader.open(path.toStdString(), &error));
    }

    void pointCloudIsInTheOpticalFrameWithPackedColour() {
        const float nan = std::numeric_limits<float>::quiet_NaN();
        // Ours: y up, looking along -z.
        const float ours[8] = {0.5f, 0.25f, -2.0f, packColor(200, 100, 50),
                               nan,  nan,   nan,   packColor(1, 2, 3)};
        for (const bool withHole : {true, false}) {
            Bytes got;
            ros::encodePointCloud({0, "f"}, ours, withHole ? 2 : 1, 1, sizeof ours, got);
            CdrReader r(got.data(), got.size());
            r.i32(), r.u32(), r.string(); // the header
            QVERIFY(r.u32() == 1 && r.u32() == uint32_t(withHole ? 2 : 1));
            QCOMPARE(r.u32(), 4u);
            for (const char *name : {"x", "y", "z", "rgb"}) {
                QCOMPARE(r.string(), std::string(name));
                r.u32();
                QCOMPARE(int(r.u8()), 7); // FLOAT32
                QCOMPARE(r.u32(), 1u);
            }
            QVERIFY(!r.boolean() && r.u32() == 16 && r.u32() == (withHole ? 32u : 16u));
            uint32_t size = 0;
            const unsigned char *data = r.sequence(1, &size);
            float p[8];
            QCOMPARE(size, uint32_t(withHole ? 32 : 16));
            std::memcpy(p, data, size);
            QCOMPARE(r.boolean(), !withHole); // dense as the data is
            QVERIFY(r.ok() && r.left() == 0);
            QVERIFY(p[0] == 0.5f && p[1] == -0.25f && p[2] == 2.0f); // x right, y down, z forward
            uint32_t rgb;
            std::memcpy(&rgb, &p[3], 4);
            QCOMPARE(rgb, 0x00C86432u);
            if (withHole) QVERIFY(std::isnan(p[4]) && std::isnan(p[5]) && std::isnan(p[6]));
        }
    }
};

QTEST_GUILESS_MAIN(TestMcap)
#include "test_mcap.moc"
