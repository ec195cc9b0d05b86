// VrelPictureCheck: the desktop tool with which an operator reviews registration photos.
#include "app/platform.h"
#include "app/vrel_app.h"
#include "check/quiet.h"
#include "platform/files.h"

#include <QApplication>
#include <QIcon>
#include <QLibraryInfo>
#include <QTranslator>

vrel::CVrelPictureCheckApp theApp(vrel::DesktopPlatform());

int main(int argc, char** argv) {
    vrel::platform::PrepareProcess();
    vrel::QuietImageLibrary();
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("VrelPictureCheck"));
    QApplication::setApplicationVersion(QStringLiteral("2.5.2"));
    QIcon icon;
    for (int size : {16, 32, 48}) {
        icon.addFile(QStringLiteral(":/pictures/icon%1.png").arg(size), QSize(size, size));
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
