// make_pictures: draws every picture the application ships with.
//
//   make_pictures <repository root>
//
// writes data/tips/state*.jpg (the rejection tips shown in the photo frame),
// app/resources/background.png (the main window), the three button pictures, the application
// icon in three sizes, the sharp 2x set of these (name@2x.png) and data/labels/*.png (the
// verdict labels the command line pastes under an annotated photo). Everything is drawn with
// QPainter from shapes and text, so the output only depends on the Qt version and the
// "WenQuanYi Micro Hei" font. Layout problems (text wider than its box, text over the places
// where widgets sit) are reported and make the run fail.

#include "drawing.h"
#include "pictures.h"

#include <QDir>
#include <QFontInfo>
#include <QGuiApplication>

#include <cstdio>

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_pictures <repository root>\n");
        return 2;
    }
    const QDir root(QString::fromLocal8Bit(argv[1]));
    const QFontInfo info(font(20));
    if (info.family() != QLatin1String(kFamily)) {
        std::fprintf(stderr, "make_pictures: font \"%s\" is missing (got \"%s\")\n", kFamily,
                     qPrintable(info.family()));
        return 1;
    }
    const QString tips = root.filePath("data/tips");
    const QString res = root.filePath("app/resources");
    const QString labels = root.filePath("data/labels");
    if (!QDir().mkpath(tips) || !QDir().mkpath(res) || !QDir().mkpath(labels)) {
        std::fprintf(stderr, "make_pictures: cannot create the output folders\n");
        return 1;
    }

    writeTipPictures(tips);
    writeWindowPictures(res);
    writeVerdictLabels(labels);

    if (problemCount() > 0) {
        std::fprintf(stderr, "make_pictures: %d layout problem(s)\n", problemCount());
        return 1;
    }
    return 0;
}
