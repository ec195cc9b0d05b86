// Shows the main dialog on the screen, reviews one photo as if it had been opened, and saves a
// grab of the screen area the dialog covers. Run under an X server (for example Xvfb):
//   vrel_screenshot PHOTO OUT.png
//   vrel_screenshot --about OUT.png   (the About box alone)
#include "app/main_dialog.h"
#include "app/scripted_platform.h"

#include <QApplication>
#include <QDialog>
#include <QEventLoop>
#include <QScreen>
#include <QThread>
#include <QTimer>

#include <cstdio>

namespace {

void Settle() {
    for (int i = 0; i < 20; ++i) {
        QApplication::processEvents();
        QThread::msleep(25);
    }
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: vrel_screenshot PHOTO OUT.png\n");
        return 2;
    }
    vrel::ScriptedPlatform platform(QString::fromLocal8Bit(argv[1]));
    if (QString::fromLocal8Bit(argv[1]) == QStringLiteral("--about")) {
        vrel::AboutDialog about;
        about.show();
        Settle();
        return about.grab().save(QString::fromLocal8Bit(argv[2])) ? 0 : 1;
    }
    vrel::MainDialog dialog(platform);
    if (!dialog.Ready()) {
        return 1;
    }
    dialog.move(20, 20);
    dialog.show();
    Settle();
    QEventLoop review;
    QObject::connect(&dialog, &vrel::MainDialog::Idle, &review, &QEventLoop::quit);
    dialog.OpenPhoto();
    if (dialog.Busy()) {
        review.exec();
    }
    Settle();
    const QRect area = dialog.frameGeometry();
    const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(),
                                                                      area.width(), area.height());
    return shot.save(QString::fromLocal8Bit(argv[2])) ? 0 : 1;
}
