// VrelPictureCheck: the desktop tool with which an operator reviews registration photos.
#include "app/platform.h"
#include "app/vrel_app.h"
#include "check/quiet.h"
#include "platform/files.h"

#include <QApplication>
#include <QIcon>
#include <QLibraryInfo>
#include <QPixmap>
#include <QTranslator>

vrel::CVrelPictureCheckApp theApp(vrel::DesktopPlatform());

int main(int argc, char** argv) {
    vrel::platform::PrepareProcess();
    vrel::QuietImageLibrary();
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("VrelPictureCheck"));
    QApplication::setApplicationVersion(QStringLiteral("2.5.2"));
    // Each drawing by its size in pixels (QIcon::addFile would file an @2x drawing under the
    // size of its 1x one), the sharp ones where a screen is at more than 1x.
    QIcon icon;
    const bool sharp = application.devicePixelRatio() > 1;
    for (int size : {16, 32, 48}) {
        icon.addPixmap(QPixmap(QStringLiteral(":/pictures/icon%1.png").arg(size)));
        if (sharp) {
            icon.addPixmap(QPixmap(QStringLiteral(":/pictures/icon%1@2x.png").arg(size)));
        }
    }
    QApplication::setWindowIcon(icon);
    // The tool speaks Chinese throughout, the file dialogs and message box buttons included.
    QTranslator qt_texts;
    if (qt_texts.load(QStringLiteral("qtbase_zh_CN"),
                      QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        QApplication::installTranslator(&qt_texts);
    }
    return theApp.InitInstance();
}
