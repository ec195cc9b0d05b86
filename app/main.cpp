// VrelPictureCheck: the desktop tool with which an operator reviews registration photos.
#include "app/platform.h"
#include "app/vrel_app.h"
#include "base/version.h"
#include "platform/files.h"
#include "setup/quiet.h"

#include <QApplication>
#include <QIcon>
#include <QLibraryInfo>
#include <QPixmap>
#include <QTranslator>

#include <cstdio>
#include <cstring>

namespace {

using vrel::kVersion;

constexpr const char* kUsage =
    "用法：VrelPictureCheck [-h | --help] [--version]\n"
    "Usage: VrelPictureCheck [-h | --help] [--version]\n"
    "\n"
    "审核报名照片的桌面工具：打开照片，查看审核结论和提示图片，保存审核通过的照片。\n"
    "The desktop tool that reviews registration photos: open a photo, see the verdict\n"
    "and a tip picture, save a passed photo.\n"
    "\n"
    "  -h, --help   显示本帮助并退出 / print this help and exit\n"
    "  --version    显示版本号并退出 / print the version and exit\n"
    "\n"
    "其他参数均被忽略。成批审核请用 vrel-check，HTTP 服务请用 vrel-serve。\n"
    "Other arguments are ignored. For batches use vrel-check; for an HTTP service, vrel-serve.\n";

// --help and --version are answered before any window system is touched, so that they work
// without a display. Returns true when the program should end at once.
bool AnswerInformationOption(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return true;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("VrelPictureCheck %s\n", kVersion);
            return true;
        }
    }
    return false;
}

} // namespace

int main(int argc, char** argv) {
    if (AnswerInformationOption(argc, argv)) {
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    vrel::platform::PrepareProcess();
    vrel::QuietImageLibrary();
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("VrelPictureCheck"));
    QApplication::setApplicationVersion(QString::fromLatin1(kVersion));
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
    return vrel::Application(vrel::DesktopPlatform()).Run();
}
