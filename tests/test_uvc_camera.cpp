// UVC stereo cameras through a scripted stand-in device: discovery, eyes, modes, rates, loss and leaks.
#include "TestSupport.h"
#include "support/FakeV4l2Device.h"
#include "twl/Camera.h"
#include "twl/stereo/kernels/IdctKernels.h"
#include "twl/stereo/kernels/YccKernels.h"
#include "twl/util/CoreLoan.h"
#include "twl/util/Parallel.h"
#include "twl/uvc/HuffmanDecoder.h"
#include "twl/uvc/MjpgDecoder.h"
#include "twl/uvc/UvcCamera.h"
#include "twl/uvc/UvcStereoSource.h"

#include <QtTest>
#include <turbojpeg.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <linux/videodev2.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio> // jpeglib.h needs FILE
#include <ctime>
#include <numeric>
#include <random>
#include <thread>
#include <vector>

#include <jpeglib.h>

using namespace twl;
using Clock = std::chrono::steady_clock;

namespace {
double msSince(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

FakeV4l2Device::Camera onlyFormat(uint32_t format,
                                  FakeV4l2Device::Camera c = FakeV4l2Device::stereoCamera()) {
    c.modes.erase(std::remove_if(c.modes.begin(), c.modes.end(),
                                 [&](const FakeV4l2Device::Mode &m) { return m.pixelFormat != format; }),
                  c.modes.end());
    return c;
}

cv::Mat greyOf(const cv::Mat &eye) {
    cv::Mat grey;
    cv::cvtColor(eye, grey, cv::COLOR_BGRA2GRAY);
    return grey;
}

// Whether `grey` is OpenCV's grey of `eye`, to the bit.
bool isGreyOf(const cv::Mat &grey, const cv::Mat &eye) {
    return grey.type() == CV_8UC1 && grey.size() == eye.size() &&
           cv::norm(grey, greyOf(eye), cv::NORM_INF) == 0;
}

// A picture's luma as libjpeg decodes it fast (the grey it hands for grey output).
cv::Mat lumaOf(const std::vector<uchar> &jpeg, cv::Size size) {
    cv::Mat luma(size, CV_8U);
    tjhandle decompressor = tjInitDecompress();
    tjDecompress2(decompressor, jpeg.data(), static_cast<unsigned long>(jpeg.size()), luma.data, luma.cols,
                  int(luma.step[0]), luma.rows, TJPF_GRAY, TJFLAG_FASTDCT);
    tjDestroy(decompressor);
    return luma;
}

std::vector<uchar> encodeBgra(const cv::Mat &bgra, int sampling, int quality = 90) {
    tjhandle compressor = tjInitCompress();
    unsigned char *coded = nullptr;
    unsigned long size = 0;
    const bool ok = tjCompress2(compressor, bgra.data, bgra.cols, int(bgra.step[0]), bgra.rows, TJPF_BGRA,
                                &coded, &size, sampling, quality, 0) == 0;
    const std::vector<uchar> jpeg = ok ? std::vector<uchar>(coded, coded + size) : std::vector<uchar>();
    tjFree(coded);
    tjDestroy(compressor);
    return jpeg;
}

// A picture as libjpeg decodes it, in BGRA, its Huffman decoding taken over
// by `huffman` where given and it does; whether it did.
bool libjpegDecode(const std::vector<uchar> &jpeg, HuffmanDecoder *huffman, cv::Mat &out,
                   J_DCT_METHOD method = JDCT_ISLOW) {
    jpeg_decompress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    errors.emit_message = [](j_common_ptr, int) {}; // damaged pictures warn
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_EXT_BGRA;
    info.dct_method = method;
    jpeg_start_decompress(&info);
    const bool took = huffman && huffman->takeOver(info);
    out.create(int(info.output_height), int(info.output_width), CV_8UC4);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = out.ptr(int(info.output_scanline));
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_destroy_decompress(&info);
    return took;
}

// The nice levels of this process's threads.
std::vector<int> threadNiceLevels() {
    std::vector<int> levels;
    for (const QString &task : QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile stat("/proc/self/task/" + task + "/stat");
        if (!stat.open(QIODevice::ReadOnly)) continue;
        // After the command's name in brackets: state, then 15 fields, then the nice level.
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 16) levels.push_back(fields[16].toInt());
    }
    return levels;
}

int openFiles() {
    return int(QDir("/proc/self/fd").entryList(QDir::Files | QDir::System).size());
}
} // namespace

class TestUvcCamera : public QObject {
    Q_OBJECT
    std::unique_ptr<FakeV4l2Device> fake;
    StereoFrame frame;

    std::unique_ptr<FrameSource> open(int resolution, int fps, ERROR_CODE expected = SUCCESS) {
        ERROR_CODE e = ERROR_CODE_LAST;
        auto source = UvcCamera::open(std::string(), resolution, fps, &e);
        [&]() { QCOMPARE(e, expected); }();
        return source;
    }
    bool noLeaks() const { return fake->openDescriptors() == 0 && fake->liveMappings() == 0; }

private slots:
    void initTestCase() { qunsetenv("VANTARO_VIRTUAL_CAMERA"); }
    void init() { fake = std::make_unique<FakeV4l2Device>(true); }
    void cleanup() { fake.reset(); }

    void discoveryListsOnlyStereoCaptureNodes() {
        QVERIFY(Camera::getDeviceList().empty());
        FakeV4l2Device::Camera metadata = FakeV4l2Device::stereoCamera("/dev/video1");
        metadata.metadataOnly = true;
        FakeV4l2Device::Camera webcam = FakeV4l2Device::stereoCamera("/dev/video2");
        webcam.modes = {{V4L2_PIX_FMT_YUYV, 1280, 720, {30}}, {V4L2_PIX_FMT_MJPEG, 1920, 1080, {30}}};
        FakeV4l2Device::Camera named =
            onlyFormat(V4L2_PIX_FMT_MJPEG, FakeV4l2Device::stereoCamera("/dev/video3"));
        named.serial = "SN-A7";
        named.bcdDevice = "0210";
        for (const auto &c : {FakeV4l2Device::stereoCamera("/dev/video0"), metadata, webcam, named})
            fake->addCamera(c);
        const auto list = Camera::getDeviceList();
        QCOMPARE(int(list.size()), 2);
        QVERIFY(list[0].path.str() == "/dev/video0" && list[1].path.str() == "/dev/video3");
        QCOMPARE(list[0].serial_number, 17042u);
        const auto found = UvcCamera::scan();
        QVERIFY(found[1].serialText == "SN-A7");
        QCOMPARE(fake->openDescriptors(), 0);
        // Numbers as themselves; anything else (a number too big included) hashed, stably and distinctly.
        QCOMPARE(UvcCamera::serialNumberOf("0017042"), 17042u);
        QVERIFY(UvcCamera::serialNumberOf("4294967296") != 0u);
        QVERIFY(UvcCamera::serialNumberOf("SN-A7") != UvcCamera::serialNumberOf("SN-A8"));
        fake->unplug("/dev/video0");
        fake->unplug("/dev/video3");
        QVERIFY(Camera::getDeviceList().empty());
    }

    void eyesAndColoursSurviveBothFormats_data() {
        QTest::addColumn<uint32_t>("format");
        QTest::addColumn<int>("tolerance");
        QTest::addColumn<int>("restartInterval");
        QTest::newRow("YUYV") << uint32_t(V4L2_PIX_FMT_YUYV) << 6 << 0;
        QTest::newRow("MJPG") << uint32_t(V4L2_PIX_FMT_MJPEG) << 12 << 0;
        // Cut in two at a marker and decoded on two threads.
        QTest::newRow("MJPG with restart markers") << uint32_t(V4L2_PIX_FMT_MJPEG) << 12 << 1344 / 16;
    }
    void eyesAndColoursSurviveBothFormats() {
        QFETCH(uint32_t, format);
        QFETCH(int, tolerance);
        QFETCH(int, restartInterval);
        fake->addCamera(onlyFormat(format));
        fake->setJpegRestartInterval(restartInterval);
        // Two halves of different colours per eye: a swapped eye, half or colour conversion all show.
        const cv::Vec4b colours[4] = {
            {0, 0, 255, 255}, {0, 200, 0, 255}, {255, 0, 0, 255}, {90, 90, 90, 255}};
        cv::Mat eyes[2];
        for (int e = 0; e < 2; ++e) {
            eyes[e] = cv::Mat(376, 672, CV_8UC4, colours[2 * e]);
            eyes[e].colRange(336, 672).setTo(colours[2 * e + 1]);
        }
        fake->setEyes(eyes[0], eyes[1]);
        auto source = open(RESOLUTION_VGA, 100);
        QVERIFY(source && !source->isRectified());
        QCOMPARE(static_cast<UvcStereoSource &>(*source).pixelFormat(), format);
        // The grey comes with the pairs decoded after it was asked for, and only from MJPG.
        source->wantGrey(true);
        for (uint64_t i = 0, previous = 0; i < UvcStereoSource::kPairsAhead + 2;
             ++i, previous = frame.timestamp) {
            QCOMPARE(source->grab(frame), SUCCESS);
            QVERIFY(frame.timestamp > previous); // the driver's, in nanoseconds
        }
        // The picture's luma (the grey of the colour, where split): the colours' grey, within what
        // the coding loses.
        if (format == V4L2_PIX_FMT_MJPEG)
            QVERIFY(cv::norm(frame.greyLeft, greyOf(eyes[0]), cv::NORM_INF) <= tolerance &&
                    cv::norm(frame.greyRight, greyOf(eyes[1]), cv::NORM_INF) <= tolerance);
        else
            QVERIFY(frame.greyLeft.empty() && frame.greyRight.empty());
        source->wantGrey(false);
        for (int i = 0; i < UvcStereoSource::kPairsAhead + 2; ++i)
            QCOMPARE(source->grab(frame), SUCCESS);
        QVERIFY(frame.greyLeft.empty() && frame.greyRight.empty());
        QVERIFY(uint64_t(Clock::now().time_since_epoch().count()) - frame.timestamp < 1000000000ULL);
        for (int i = 0; i < 4; ++i) {
            const cv::Vec4b got = (i < 2 ? frame.left : frame.right).at<cv::Vec4b>(188, i % 2 ? 504 : 168);
            QVERIFY2(cv::norm(got, colours[i], cv::NORM_INF) <= tolerance,
                     qPrintable(QString("quarter %1: %2 %3 %4").arg(i).arg(got[0]).arg(got[1]).arg(got[2])));
        }
    }

    void damagedMjpgFramesAreSkipped() {
        fake->addCamera(onlyFormat(V4L2_PIX_FMT_MJPEG));
        fake->setPaced(false);
        const cv::Mat plain(376, 672, CV_8UC4, cv::Scalar(40, 120, 200, 255));
        fake->setEyes(plain, plain);
        auto source = open(RESOLUTION_VGA, 0);
        QVERIFY(source);
        // Pairs may have been decoded ahead of the damage; the next come after the damaged frames.
        for (auto damage : {FakeV4l2Device::Damage::Short, FakeV4l2Device::Damage::Garbage}) {
            fake->damageNextFrames(2, damage);
            QVERIFY(source->grab(frame) == SUCCESS && source->grab(frame) == SUCCESS);
        }
        QCOMPARE(frame.left.size(), cv::Size(672, 376));
        // Frames that keep coming damaged are a failure, not a lost camera. The damage comes first: paced
        // again, the stand-in at once fills every queued buffer with the frames it owes since it was last
        // paced, and those must be damaged too.
        fake->damageNextFrames(1 << 20, FakeV4l2Device::Damage::Garbage);
        fake->setPaced(true);
        ERROR_CODE e = SUCCESS;
        for (int i = 0; i <= UvcStereoSource::kPairsAhead && e == SUCCESS; ++i)
            e = source->grab(frame); // the pairs decoded ahead come first
        QCOMPARE(e, ERROR_CODE_FAILURE);
        QCOMPARE(fake->openDescriptors(), 1);
        fake->damageNextFrames(0, FakeV4l2Device::Damage::Garbage);
        QCOMPARE(source->grab(frame), SUCCESS);
        // Every decode, the failed ones too, gave back the core it was lent: else the caller's loops
        // would run on one thread from then on.
        source.reset();
        QCOMPARE(CoreLoan::lent(), 0);
    }

    void readersTakeTurnsAndKeepTheCamerasOrder() {
        fake->addCamera(onlyFormat(V4L2_PIX_FMT_MJPEG));
        auto source = open(RESOLUTION_VGA, 30);
        QVERIFY(source);
        auto &uvc = static_cast<UvcStereoSource &>(*source);
        QVERIFY(uvc.readsAtLowestPriority());
        // Each reader sets its own level as it starts.
        const int base = std::clamp(int(::getpriority(PRIO_PROCESS, 0)), -20, 19);
        for (int below : {19, 10}) {
            const int level = std::min(base + below, 19);
            QTRY_VERIFY2_WITH_TIMEOUT(
                [&] {
                    const std::vector<int> levels = threadNiceLevels();
                    return std::count(levels.begin(), levels.end(), level) > 0;
                }(),
                qPrintable(QString("no reader at nice %1").arg(level)), 2000);
        }
        // A camera that pauses makes a grab wait, but not a decode: the reading stays where it is. The
        // limit is well below the pause but above what a decode at the lowest level took beside three
        // busy loops (over 600 ms), where handing the reading over is right.
        uvc.setStarvation(1000000000, 3600000000000LL);
        QCOMPARE(source->grab(frame), SUCCESS);
        fake->setStalled(true);
        std::thread resume([this] {
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            fake->setStalled(false);
        });
        const auto t0 = Clock::now();
        bool resumed = false;
        for (uint64_t previous = frame.timestamp; msSince(t0) < 5000 && source->grab(frame) == SUCCESS;
             previous = frame.timestamp) {
            QVERIFY(frame.timestamp > previous);
            if ((resumed = msSince(t0) > 1300)) break;
        }
        resume.join();
        QVERIFY(resumed && uvc.readsAtLowestPriority());
        // Every wait taken for starvation, and the lowest back after 20 ms: the readers take turns,
        // and the pairs still come in the camera's order, none twice.
        uvc.setStarvation(1, 20000000);
        int turns = 0;
        bool lowest = uvc.readsAtLowestPriority();
        for (uint64_t i = 0, previous = frame.timestamp; i < 40; ++i, previous = frame.timestamp) {
            QCOMPARE(source->grab(frame), SUCCESS);
            QVERIFY(frame.timestamp > previous);
            turns += uvc.readsAtLowestPriority() != lowest;
            lowest = uvc.readsAtLowestPriority();
        }
        QVERIFY2(turns >= 4, qPrintable(QString::number(turns)));
        source.reset();
        QVERIFY(noLeaks());
    }

    void loopsLeaveALentCoreToTheDecode() {
        QVERIFY(!CoreLoan::loopsAlone(2));
        {
            const CoreLoan loan;
            QVERIFY(CoreLoan::loopsAlone(2) && !CoreLoan::loopsAlone(4));
            const CoreLoan second;
            QVERIFY(CoreLoan::loopsAlone(3));
            // Alone, a loop still covers its whole range once.
            std::vector<int> visits(1000, 0);
            std::atomic<bool> elsewhere{false};
            const std::thread::id caller = std::this_thread::get_id();
            parallelFor(cv::Range(0, 1000), [&](const cv::Range &r) {
                if (std::this_thread::get_id() != caller) elsewhere = true;
                for (int i = r.start; i < r.end; ++i)
                    ++visits[size_t(i)];
            });
            QCOMPARE(int(std::count(visits.begin(), visits.end(), 1)), 1000);
            if (CoreLoan::coresToRunOn() <= 3) QVERIFY(!elsewhere);
        }
        QVERIFY(!CoreLoan::loopsAlone(2));
    }

    void mjpgDecodesStraightIntoTheEyesAsTheReferenceDecoderDoes() {
        // A textured side-by-side picture, each eye distinct, 4:2:0 at quality 90 as cameras send it.
        cv::Mat bgr(96, 2 * 160, CV_8UC3), reference;
        cv::randu(bgr, 0, 256);
        cv::GaussianBlur(bgr, bgr, cv::Size(5, 5), 1.5);
        bgr.colRange(160, 320) /= 2;
        std::vector<uchar> jpeg;
        cv::imencode(".jpg", bgr, jpeg, {cv::IMWRITE_JPEG_QUALITY, 90});
        cv::cvtColor(cv::imdecode(jpeg, cv::IMREAD_COLOR), reference, cv::COLOR_BGR2BGRA);
        const Resolution eye(160, 96);
        for (auto precision : {MjpgDecoder::Precision::Accurate, MjpgDecoder::Precision::Fast}) {
            MjpgDecoder decoder(precision);
            cv::Mat left, right;
            // Drivers pad frames after the end marker, with zeros or with what the buffer held.
            std::vector<uchar> padded = jpeg;
            padded.resize(jpeg.size() + 3000, 0);
            QVERIFY(decoder.decode(padded.data(), padded.size(), eye, left, right));
            for (size_t i = jpeg.size(); i < padded.size(); ++i)
                padded[i] = uchar(i % 7 == 0 ? 0xFF : i * 37);
            QVERIFY(decoder.decode(padded.data(), padded.size(), eye, left, right));
            // A picture cut short is refused rather than shown with a grey bottom.
            QVERIFY(!decoder.decode(jpeg.data(), jpeg.size() * 2 / 3, eye, left, right));
            // The eyes are the halves of the one picture the decoder wrote, and stay so.
            QVERIFY(right.data == left.data + 160 * 4 && left.step[0] == size_t(320 * 4));
            const uchar *picture = left.data;
            QVERIFY(decoder.decode(jpeg.data(), jpeg.size(), eye, left, right) && left.data == picture);
            cv::Mat both;
            cv::hconcat(left, right, both);
            const double worst = cv::norm(both, reference, cv::NORM_INF);
            const double mean = cv::norm(both, reference, cv::NORM_L1) / double(both.total() * 4);
            if (precision == MjpgDecoder::Precision::Accurate)
                QCOMPARE(worst, 0.0); // the same decode, alpha opaque
            else
                QVERIFY2(worst <= 32 && mean < 3.0, qPrintable(QString("%1 %2").arg(worst).arg(mean)));
            // With the grey, decoded a few rows at a time: the same eyes, and their grey, which the
            // fast decode takes from the picture's luma.
            cv::Mat greyLeft, greyRight;
            left.setTo(cv::Scalar::all(0));
            right.setTo(cv::Scalar::all(0));
            QVERIFY(decoder.decode(padded.data(), padded.size(), eye, left, right, &greyLeft, &greyRight));
            QCOMPARE(cv::norm(left, both.colRange(0, 160), cv::NORM_INF) +
                         cv::norm(right, both.colRange(160, 320), cv::NORM_INF),
                     0.0);
            if (precision == MjpgDecoder::Precision::Accurate) {
                QVERIFY(isGreyOf(greyLeft, left) && isGreyOf(greyRight, right));
            } else {
                cv::Mat grey;
                cv::hconcat(greyLeft, greyRight, grey);
                QCOMPARE(cv::norm(grey, lumaOf(jpeg, grey.size()), cv::NORM_INF), 0.0);
            }
            QVERIFY(
                !decoder.decode(jpeg.data(), jpeg.size() * 2 / 3, eye, left, right, &greyLeft, &greyRight));
            // A picture of another size is refused, and the eyes keep theirs.
            QVERIFY(!decoder.decode(jpeg.data(), jpeg.size(), Resolution(80, 96), left, right));
            QVERIFY(!decoder.decode(nullptr, 0, eye, left, right));
            QCOMPARE(left.size(), cv::Size(160, 96));
        }
    }

    void mjpgHuffmanDecodingIsLibjpegsEvenOnDamagedPictures() {
        // Smooth rows (short blocks) above noise (long codes, large values), at every sampling
        // libjpeg-turbo writes and at qualities from coarse to exact: HuffmanDecoder takes over
        // each picture's decoding and gives libjpeg's own pixels. Eyes 40 rows tall leave the
        // last row of 4:2:0 MCUs half its luma blocks, and 68 wide the last column too.
        std::mt19937 random(7);
        HuffmanDecoder huffman;
        for (const Resolution eye : {Resolution(72, 40), Resolution(68, 40)})
            for (int sampling : {TJSAMP_444, TJSAMP_422, TJSAMP_420, TJSAMP_GRAY, TJSAMP_440, TJSAMP_411})
                for (int quality : {30, 90, 100}) {
                    cv::Mat bgra(int(eye.height), 2 * int(eye.width), CV_8UC4);
                    cv::randu(bgra, 0, 256);
                    cv::GaussianBlur(bgra.rowRange(0, 24), bgra.rowRange(0, 24), cv::Size(9, 9), 3);
                    const std::vector<uchar> clean = encodeBgra(bgra, sampling, quality);
                    // Cameras leave out the standard tables, which libjpeg then supplies. And a
                    // damaged table whose AC values of 10 bits read 15, which libjpeg decodes with:
                    // two symbols then no longer fit in one refill of our reader.
                    // The segments walked up to the scan, whose coded data starts at `scan`.
                    std::vector<uchar> withoutTables(clean.begin(), clean.begin() + 2), longValues = clean;
                    size_t scan = 0;
                    for (size_t at = 2; !scan && at + 4 < clean.size();) {
                        const size_t end = at + 2 + (clean[at + 2] << 8 | clean[at + 3]);
                        if (clean[at + 1] == 0xDA) scan = end;
                        if (clean[at + 1] != 0xC4)
                            withoutTables.insert(withoutTables.end(), clean.begin() + at,
                                                 scan ? clean.end() : clean.begin() + end);
                        // Each table: its class and number, its 16 counts, its symbols.
                        for (size_t t = at + 4, n = 0; clean[at + 1] == 0xC4 && t + 17 <= end; t += 17 + n) {
                            n = std::accumulate(clean.begin() + t + 1, clean.begin() + t + 17, size_t(0));
                            for (size_t i = t + 17; clean[t] >> 4 == 1 && i < t + 17 + n && i < end; ++i)
                                if ((clean[i] & 15) == 10) longValues[i] |= 15;
                        }
                        at = end;
                    }
                    QVERIFY(scan > 0 && withoutTables.size() < clean.size() && longValues != clean);
                    const std::vector<uchar> *pictures[] = {&clean, &withoutTables, &longValues};
                    // The fast transform four blocks at a time where the CPU has AVX-512, two
                    // where it has AVX2, on the pictures cameras send.
                    const bool grouped = avx2IdctPair() && eye.width % 8 == 0 &&
                                         (sampling == TJSAMP_420 || sampling == TJSAMP_422);
                    for (const std::vector<uchar> *picture : pictures)
                        for (J_DCT_METHOD method : {JDCT_ISLOW, JDCT_IFAST}) {
                            cv::Mat ours, theirs;
                            QVERIFY(libjpegDecode(*picture, &huffman, ours, method));
                            QCOMPARE(huffman.blocksTransformedAtOnce(), !grouped || method != JDCT_IFAST ? 1
                                                                        : avx512IdctQuad()               ? 4
                                                                                                         : 2);
                            libjpegDecode(*picture, nullptr, theirs, method);
                            QCOMPARE(cv::norm(ours, theirs, cv::NORM_INF), 0.0);
                        }
                    // Then damaged: bytes of the scan changed, the picture cut short before its end
                    // marker, or a restart marker where none belongs. Decoded by MjpgDecoder at both
                    // precisions, with the grey: the same verdict and, where decoded, the same pixels.
                    for (int variant = 0; variant < 9; ++variant) {
                        std::vector<uchar> jpeg = clean;
                        const size_t at = scan + random() % (clean.size() - 2 - scan);
                        if (variant % 3 == 0) {
                            for (int i = 0; i < 4; ++i)
                                jpeg[scan + random() % (clean.size() - 2 - scan)] = uchar(random());
                        } else if (variant % 3 == 1) {
                            jpeg.resize(at);
                            jpeg.insert(jpeg.end(), {0xFF, 0xD9});
                        } else {
                            jpeg[at] = 0xFF;
                            jpeg[at + 1] = uchar(0xD0 + random() % 8);
                        }
                        for (auto precision :
                             {MjpgDecoder::Precision::Accurate, MjpgDecoder::Precision::Fast}) {
                            MjpgDecoder own(precision), libjpegs(precision);
                            libjpegs.setOwnHuffman(false);
                            cv::Mat eyes[2][4];
                            const bool ok = own.decode(jpeg.data(), jpeg.size(), eye, eyes[0][0], eyes[0][1],
                                                       &eyes[0][2], &eyes[0][3]);
                            QCOMPARE(libjpegs.decode(jpeg.data(), jpeg.size(), eye, eyes[1][0], eyes[1][1],
                                                     &eyes[1][2], &eyes[1][3]),
                                     ok);
                            for (int i = 0; ok && i < 4; ++i)
                                QCOMPARE(cv::norm(eyes[0][i], eyes[1][i], cv::NORM_INF), 0.0);
                        }
                    }
                }
        // Pictures with restart markers are left to libjpeg.
        cv::Mat bgr(48, 2 * 72, CV_8UC3), out;
        cv::randu(bgr, 0, 256);
        std::vector<uchar> marked;
        cv::imencode(".jpg", bgr, marked, {cv::IMWRITE_JPEG_RST_INTERVAL, 4});
        QVERIFY(!libjpegDecode(marked, &huffman, out));
    }

    void mjpgColourFromThePlanesIsLibjpegsToTheBit() {
        // Every pair of chroma samples, under luma that clips some channels, with a tail after the
        // 64-pixel steps of one and the 32-pixel steps of the other: the AVX-512 and AVX2 rows and
        // the plain one agree.
        for (const YccRow vector : {avx512YccRow(), avx2YccRow()}) {
            if (!vector) continue;
            const int width = 2 * 256 * 256 + 39;
            std::vector<uint8_t> luma(static_cast<size_t>(width)), cb(width / 2 + 1), cr(cb.size());
            for (size_t x = 0; x < luma.size(); ++x)
                luma[x] = uint8_t(x * 37 + x / 512);
            for (size_t i = 0; i < cb.size(); ++i) {
                cb[i] = uint8_t(i);
                cr[i] = uint8_t(i >> 8);
            }
            std::vector<uint8_t> fast(4 * size_t(width)), plain(fast.size());
            vector(luma.data(), cb.data(), cr.data(), width, fast.data());
            yccRow(luma.data(), cb.data(), cr.data(), width, plain.data());
            QVERIFY(fast == plain);
        }
        // Noise (saturated chroma, clipped channels) at both samplings cameras use, in eyes off the
        // 32-pixel steps and the 16-row bands: the eyes are libjpeg's own fast decode, with the grey
        // or without, the grey the picture's luma.
        cv::Mat bgra(90, 2 * 172, CV_8UC4);
        cv::randu(bgra, 0, 256);
        const Resolution eye(172, 90);
        for (int sampling : {TJSAMP_422, TJSAMP_420}) {
            const std::vector<uchar> jpeg = encodeBgra(bgra, sampling);
            cv::Mat reference(bgra.size(), CV_8UC4), left, right, greyLeft, greyRight, both, grey;
            tjhandle decompressor = tjInitDecompress();
            QCOMPARE(tjDecompress2(decompressor, jpeg.data(), static_cast<unsigned long>(jpeg.size()),
                                   reference.data, reference.cols, int(reference.step[0]), reference.rows,
                                   TJPF_BGRA, TJFLAG_FASTDCT | TJFLAG_FASTUPSAMPLE),
                     0);
            tjDestroy(decompressor);
            MjpgDecoder decoder(MjpgDecoder::Precision::Fast);
            QVERIFY(decoder.decode(jpeg.data(), jpeg.size(), eye, left, right, &greyLeft, &greyRight));
            cv::hconcat(left, right, both);
            cv::hconcat(greyLeft, greyRight, grey);
            QCOMPARE(cv::norm(both, reference, cv::NORM_INF), 0.0);
            QCOMPARE(cv::norm(grey, lumaOf(jpeg, grey.size()), cv::NORM_INF), 0.0);
            // And without the grey.
            left.setTo(cv::Scalar::all(0));
            right.setTo(cv::Scalar::all(0));
            QVERIFY(decoder.decode(jpeg.data(), jpeg.size(), eye, left, right));
            cv::hconcat(left, right, both);
            QCOMPARE(cv::norm(both, reference, cv::NORM_INF), 0.0);
            // The luma is written where the grey eyes lie, the halves of one picture kept from frame
            // to frame; grey eyes of the caller's own are replaced by such halves.
            QVERIFY(greyRight.data == greyLeft.data + eye.width && greyLeft.u == greyRight.u);
            greyLeft.setTo(0);
            greyRight = cv::Mat(90, 172, CV_8U, cv::Scalar(0));
            QVERIFY(decoder.decode(jpeg.data(), jpeg.size(), eye, left, right, &greyLeft, &greyRight));
            const uchar *kept = greyLeft.data;
            QVERIFY(decoder.decode(jpeg.data(), jpeg.size(), eye, left, right, &greyLeft, &greyRight));
            QVERIFY(greyLeft.data == kept && greyRight.data == kept + eye.width);
            cv::hconcat(greyLeft, greyRight, grey);
            QCOMPARE(cv::norm(grey, lumaOf(jpeg, grey.size()), cv::NORM_INF), 0.0);
        }
    }

    void mjpgWithRestartMarkersIsDecodedInTwoAsAWhole() {
        // Restart markers every MCU row of the colour picture, every two rows (no cut at the
        // middle: the nearest is taken) and every 30 MCUs (intervals ending inside rows: the cut
        // is where one ends with a row).
        cv::Mat bgr(96, 2 * 160, CV_8UC3);
        cv::randu(bgr, 0, 256);
        cv::GaussianBlur(bgr, bgr, cv::Size(5, 5), 1.5);
        const Resolution eye(160, 96);
        cv::Mat grey;
        cv::cvtColor(bgr, grey, cv::COLOR_BGR2GRAY);
        for (int interval : {20, 40, 30})
            // Grey has no chroma to upsample across the cut, so even the exact decode is cut, and
            // gives the reference decoder's pixels; colour at 4:2:0, as cameras send it, with the
            // fast decode the camera uses.
            for (bool colour : {false, true}) {
                std::vector<uchar> jpeg;
                cv::imencode(".jpg", colour ? bgr : grey, jpeg,
                             {cv::IMWRITE_JPEG_QUALITY, 90, cv::IMWRITE_JPEG_RST_INTERVAL, interval});
                cv::Mat reference, left, right, both;
                cv::cvtColor(cv::imdecode(jpeg, cv::IMREAD_COLOR), reference, cv::COLOR_BGR2BGRA);
                MjpgDecoder decoder(colour ? MjpgDecoder::Precision::Fast : MjpgDecoder::Precision::Accurate);
                cv::Mat greyLeft, greyRight;
                QVERIFY(decoder.decode(jpeg.data(), jpeg.size(), eye, left, right, &greyLeft, &greyRight) &&
                        decoder.lastDecodeWasSplit());
                QVERIFY(isGreyOf(greyLeft, left) && isGreyOf(greyRight, right));
                cv::hconcat(left, right, both);
                QVERIFY(cv::norm(both, reference, cv::NORM_INF) <= (colour ? 32 : 0));
                QVERIFY(cv::norm(both, reference, cv::NORM_L1) / double(both.total() * 4) < 3.0);
                // A marker out of sequence is not cut at; a picture cut short is still refused.
                std::vector<uchar> damaged = jpeg;
                for (size_t i = damaged.size() / 2; i + 1 < damaged.size(); ++i)
                    if (damaged[i] == 0xFF && damaged[i + 1] >= 0xD0 && damaged[i + 1] <= 0xD7) {
                        damaged[i + 1] = uchar(0xD0 | ((damaged[i + 1] + 3) & 7));
                        break;
                    }
                decoder.decode(damaged.data(), damaged.size(), eye, left, right);
                QVERIFY(!decoder.decode(jpeg.data(), jpeg.size() / 2, eye, left, right));
            }
    }

    void mjpgWithoutMarkersIsSplitOnlyWhenBehindAndStaysTheSame() {
        // 4:2:0 and 4:2:2 (what many cameras send), the exact and the fast decode: the split
        // picture must be the whole decode's to the bit, whatever the decoders' chroma upsampling.
        cv::Mat bgra(96, 2 * 160, CV_8UC4);
        cv::randu(bgra, 0, 256);
        cv::GaussianBlur(bgra, bgra, cv::Size(5, 5), 1.5);
        const Resolution eye(160, 96);
        for (int sampling : {TJSAMP_420, TJSAMP_422}) {
            const std::vector<uchar> jpeg = encodeBgra(bgra, sampling);
            QVERIFY(!jpeg.empty());
            for (auto precision : {MjpgDecoder::Precision::Accurate, MjpgDecoder::Precision::Fast}) {
                MjpgDecoder whole(precision), split(precision);
                split.splitAbove(1e-9, 2.0); // any whole decode is too slow, however busy the cores
                cv::Mat wl, wr, sl, sr;
                QVERIFY(whole.decode(jpeg.data(), jpeg.size(), eye, wl, wr) && !whole.lastDecodeWasSplit());
                // The first two decodes are whole: the first, into a new picture, pays for its pages
                // (the cold start of a stream); the second tells whether a whole one falls behind.
                for (int frame = 0; frame < 2; ++frame)
                    QVERIFY(split.decode(jpeg.data(), jpeg.size(), eye, sl, sr) &&
                            !split.lastDecodeWasSplit());
                for (int frame = 0; frame < 3; ++frame) {
                    sl.setTo(cv::Scalar::all(0));
                    cv::Mat gl, gr;
                    QVERIFY(split.decode(jpeg.data(), jpeg.size(), eye, sl, sr, frame ? &gl : nullptr,
                                         frame ? &gr : nullptr) &&
                            split.lastDecodeWasSplit());
                    QCOMPARE(cv::norm(sl, wl, cv::NORM_INF) + cv::norm(sr, wr, cv::NORM_INF), 0.0);
                    QVERIFY(!frame || (isGreyOf(gl, sl) && isGreyOf(gr, sr)));
                }
                // Damaged data is decoded whole after all, as it would have been; cut short, refused.
                std::vector<uchar> damaged = jpeg;
                for (size_t i = damaged.size() / 2; i < damaged.size() / 2 + 40; ++i)
                    damaged[i] = uchar(i * 13);
                const bool wholeTakesIt = whole.decode(damaged.data(), damaged.size(), eye, wl, wr);
                QCOMPARE(split.decode(damaged.data(), damaged.size(), eye, sl, sr), wholeTakesIt);
                if (wholeTakesIt)
                    QCOMPARE(cv::norm(sl, wl, cv::NORM_INF) + cv::norm(sr, wr, cv::NORM_INF), 0.0);
                QVERIFY(!split.decode(jpeg.data(), jpeg.size() * 2 / 3, eye, sl, sr));
            }
        }

        // Decodes a camera's period apart are split while the process leaves the cores free, and
        // decoded whole while its other threads keep every core busy: the split would take from them.
        const std::vector<uchar> jpeg = encodeBgra(bgra, TJSAMP_422);
        MjpgDecoder decoder(MjpgDecoder::Precision::Fast);
        // Room up to 0.3 of the cores rather than 0.8: tests running beside this one (ctest runs
        // several at once) leave the spinning threads below less than every core.
        decoder.splitAbove(1e-9, 0.3);
        cv::Mat left, right;
        auto splits = [&] {
            int split = 0;
            for (int frame = 0; frame < 16; ++frame) {
                // A 50 fps camera's period: well above a decode's time even under the thread
                // sanitizer (3.4 ms a whole one there, which a 5 ms pause left too little room for).
                QTest::qSleep(20);
                if (!decoder.decode(jpeg.data(), jpeg.size(), eye, left, right)) return -1;
                split += frame >= 12 && decoder.lastDecodeWasSplit();
            }
            return split;
        };
        QCOMPARE(splits(), 4);
        std::atomic<bool> spin{true};
        std::vector<std::thread> busy;
        for (unsigned i = 0; i < 4 * std::max(1u, std::thread::hardware_concurrency()); ++i)
            busy.emplace_back([&] {
                while (spin.load(std::memory_order_relaxed)) {
                }
            });
        const std::clock_t cpu0 = std::clock(); // the whole process's CPU time
        const Clock::time_point t0 = Clock::now();
        const int splitWhileBusy = splits();
        const double busyShare =
            1e3 * double(std::clock() - cpu0) / CLOCKS_PER_SEC / (msSince(t0) * CoreLoan::coresToRunOn());
        spin = false;
        for (std::thread &t : busy)
            t.join();
        // The decoder weighs only this process's work: where other programs left the spinning threads
        // too little of the cores to keep them busy, there was room and a split was right.
        if (busyShare >= 0.5)
            QCOMPARE(splitWhileBusy, 0);
        else
            qWarning("the spinning threads had %.2f of the cores: split %d of 4", busyShare, splitWhileBusy);
    }

    void sizesAndRatesFallBackAsDocumented() {
        FakeV4l2Device::Camera small = FakeV4l2Device::stereoCamera();
        small.modes = {{V4L2_PIX_FMT_YUYV, 1344, 376, {15, 30}}, {V4L2_PIX_FMT_YUYV, 2560, 720, {15}}};
        fake->addCamera(small);
        QVERIFY(!open(RESOLUTION_HD2K, 15, ERROR_CODE_LOW_USB_BANDWIDTH));
        auto source = open(RESOLUTION_VGA, 100);
        QVERIFY(source->fps() == 30.0f && fake->currentRate() == 30.0f);
        QCOMPARE(open(RESOLUTION_VGA, 20)->fps(), 15.0f);
        // A driver that takes no rate: what is reported is the rate it streams at.
        fake->setRateFixed(true);
        QCOMPARE(open(RESOLUTION_VGA, 15)->fps(), 30.0f);
        fake->setRateFixed(false);
        source.reset();
        // A size the driver lists but then will not set is refused the same way.
        fake->refuseSize(2560, 720);
        QVERIFY(!open(RESOLUTION_HD720, 15, ERROR_CODE_LOW_USB_BANDWIDTH));
        QVERIFY(noLeaks());
    }

    void rateChangesKeepTheStreamWhenTheDriverAllows() {
        fake->addCamera(FakeV4l2Device::stereoCamera());
        auto source = open(RESOLUTION_VGA, 100);
        QCOMPARE(source->grab(frame), SUCCESS);
        QCOMPARE(source->setFps(30), SUCCESS);
        QVERIFY(fake->streamStarts() == 1 && source->fps() == 30.0f);
        fake->setRateLockedWhileStreaming(true);
        QCOMPARE(source->setFps(0), SUCCESS); // the highest
        QCOMPARE(fake->streamStarts(), 2);
        QVERIFY(source->fps() == 100.0f && fake->currentRate() == 100.0f);
        QCOMPARE(source->grab(frame), SUCCESS);
        // The old stream's buffers went; the faster rate took more (an eighth of a second of frames).
        QCOMPARE(fake->liveMappings(), 8);
        // A rate the bus cannot carry: the camera goes on at the one it had.
        fake->limitBus(1344.0 * 376 * 2 * 60); // two VGA eyes of YUYV at 60 a second
        QCOMPARE(source->setFps(30), SUCCESS);
        QCOMPARE(source->setFps(100), ERROR_CODE_LOW_USB_BANDWIDTH);
        QVERIFY(source->fps() == 30.0f && fake->currentRate() == 30.0f);
        QCOMPARE(source->grab(frame), SUCCESS);
        QCOMPARE(fake->liveMappings(), 4);
        // ... and a camera opened at such a rate says why it does not stream, and is not "not detected".
        source.reset();
        QVERIFY(!open(RESOLUTION_VGA, 100, ERROR_CODE_LOW_USB_BANDWIDTH));
        fake->limitBus(0);
        QVERIFY(noLeaks());
    }

    void silentCameraCountsAsGoneWithinTwoSeconds() {
        fake->addCamera(FakeV4l2Device::stereoCamera());
        auto source = open(RESOLUTION_VGA, 100);
        QCOMPARE(source->grab(frame), SUCCESS);
        fake->setStalled(true);
        // What came before the stall still comes (every buffer the driver filled, the frame the reader
        // holds, the pairs decoded ahead); then nothing for two seconds is a camera gone.
        const int pending = fake->liveMappings() + 1 + UvcStereoSource::kPairsAhead;
        auto t0 = Clock::now();
        ERROR_CODE e = SUCCESS;
        for (int i = 0; i <= pending && e == SUCCESS; ++i) {
            t0 = Clock::now();
            e = source->grab(frame);
        }
        QCOMPARE(e, ERROR_CODE_CAMERA_NOT_DETECTED);
        const double waited = msSince(t0);
        QVERIFY2(waited >= 1900 && waited < 2600, qPrintable(QString::number(waited)));
        QVERIFY(noLeaks());
        // From then on it says so at once, not after another two seconds (a loaded machine may still
        // take a few time slices to run the grab).
        t0 = Clock::now();
        QCOMPARE(source->grab(frame), ERROR_CODE_CAMERA_NOT_DETECTED);
        QVERIFY(msSince(t0) < 500);
    }

    void unplugEndsTheStreamAndReplugIsFound() {
        fake->addCamera(FakeV4l2Device::stereoCamera());
        Camera camera;
        InitParameters init;
        init.cameraResolution = RESOLUTION_VGA;
        RuntimeParameters runtime;
        runtime.enableDepth = false;
        QVERIFY(camera.open(init) == SUCCESS && camera.grab(runtime) == SUCCESS);
        fake->unplug();
        const auto t0 = Clock::now();
        ERROR_CODE e = SUCCESS;
        for (int i = 0; i <= UvcStereoSource::kPairsAhead && e == SUCCESS; ++i)
            e = camera.grab(runtime); // the pairs decoded ahead may still come
        QCOMPARE(e, ERROR_CODE_CAMERA_NOT_DETECTED);
        QVERIFY(msSince(t0) < 500);
        QVERIFY(noLeaks() && Camera::getDeviceList().empty());
        camera.close();
        fake->replug();
        QCOMPARE(int(Camera::getDeviceList().size()), 1);
        QVERIFY(camera.open(init) == SUCCESS && camera.grab(runtime) == SUCCESS); // the same object again
    }

    void hundredOpenCloseCyclesLeaveNothingBehind() {
        fake->addCamera(FakeV4l2Device::stereoCamera());
        fake->setPaced(false);
        const int before = openFiles();
        for (int i = 0; i < 100; ++i) {
            auto source = open(i % 2 ? RESOLUTION_VGA : RESOLUTION_HD720, 0);
            QVERIFY(source);
            if (i % 10 == 0) QCOMPARE(source->grab(frame), SUCCESS);
        }
        QVERIFY(noLeaks());
        QCOMPARE(CoreLoan::lent(), 0); // sources closed in the middle of a decode
        QCOMPARE(openFiles(), before);
    }

    void realBackendWithoutNodesAnswersAtOnce() {
        setDeviceBackend(nullptr);
        if (!deviceBackend().listNodes().empty()) QSKIP("this machine has video nodes");
        const auto t0 = Clock::now();
        QVERIFY(Camera::getDeviceList().empty());
        QCOMPARE(Camera().open(InitParameters()), ERROR_CODE_CAMERA_NOT_DETECTED);
        QVERIFY(msSince(t0) < 50);
        // twv says so and succeeds, at once.
        const auto t1 = Clock::now();
        const TestSupport::ToolRun twv = TestSupport::runTwv({"devices"});
        QVERIFY(twv.exitCode == 0 && twv.out.trimmed() == "no stereo camera found" && msSince(t1) < 5000);
    }
};

QTEST_GUILESS_MAIN(TestUvcCamera)
#include "test_uvc_camera.moc"
