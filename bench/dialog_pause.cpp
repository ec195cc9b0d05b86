// The longest pause of the desktop tool's event loop while it reviews (and corrects) a photo of
// 12 megapixels: a timer ticks every 10 ms and the largest gap between two ticks is the longest
// time the window could not repaint or answer a click.
//   vrel_dialog_pause [--rounds N] [PHOTO...]
// Without photos it makes two from the samples: a passed portrait enlarged to 3000 x 4000 and a
// half-length portrait (reviewed, rejected and corrected) enlarged to 3200 x 4000.
#include "app/main_dialog.h"
#include "app/scripted_platform.h"

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QTemporaryDir>
#include <QTimer>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// A sample enlarged to `size` and written as a JPEG of quality 92; the empty string on failure.
std::string Enlarged(const char* sample, cv::Size size, const QTemporaryDir& dir) {
    const cv::Mat photo = cv::imread(std::string(VREL_SOURCE_DIR "/samples/") + sample);
    if (photo.empty()) {
        return std::string();
    }
    cv::Mat large;
    cv::resize(photo, large, size, 0, 0, cv::INTER_CUBIC);
    const std::string path =
        dir.filePath(QStringLiteral("large-%1x%2.jpg").arg(size.width).arg(size.height))
            .toStdString();
    return cv::imwrite(path, large, {cv::IMWRITE_JPEG_QUALITY, 92}) ? path : std::string();
}

struct Pause {
    qint64 longest_ms = 0;
    qint64 total_ms = 0;
    QString info;
};

// Opens the photo in the dialog while the ticker runs, until the dialog has shown its result.
Pause Measure(vrel::MainDialog& dialog) {
    QElapsedTimer clock;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    qint64 last = 0;
    qint64 longest = 0;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        longest = std::max(longest, now - last);
        last = now;
    });
    QEventLoop loop;
    QObject::connect(&dialog, &vrel::MainDialog::Idle, &loop, &QEventLoop::quit);
    clock.start();
    ticker.start(10);
    QTimer::singleShot(0, &dialog, &vrel::MainDialog::OpenPhoto);
    loop.exec();
    const qint64 total = clock.elapsed();
    // The tick after the last work.
    QTimer::singleShot(20, &loop, &QEventLoop::quit);
    loop.exec();
    return {longest, total, dialog.InfoLine()->text()};
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    int rounds = 3;
    std::vector<std::string> photos;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--rounds" && i + 1 < argc) {
            rounds = std::max(1, std::atoi(argv[++i]));
        } else {
            photos.emplace_back(argv[i]);
        }
    }
    QTemporaryDir dir;
    if (photos.empty()) {
        photos = {Enlarged("passed-white-1200x1600.jpg", {3000, 4000}, dir),
                  Enlarged("correctable/half-length.jpg", {3200, 4000}, dir)};
    }
    vrel::ScriptedPlatform platform(QString(), VREL_APP_DIR "/");
    for (const std::string& photo : photos) {
        if (photo.empty()) {
            std::fprintf(stderr, "a sample could not be read\n");
            return 1;
        }
        platform.photo = QString::fromStdString(photo);
        std::printf("%s\n", photo.c_str());
        for (int round = 0; round < rounds; ++round) {
            vrel::MainDialog dialog(platform);
            dialog.show();
            const Pause pause = Measure(dialog);
            std::printf("  round %d: longest pause %lld ms of %lld ms (%s)\n", round + 1,
                        static_cast<long long>(pause.longest_ms),
                        static_cast<long long>(pause.total_ms), pause.info.toUtf8().constData());
        }
    }
    return 0;
}
