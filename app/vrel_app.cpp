#include "app/vrel_app.h"

#include "app/main_dialog.h"
#include "app/platform.h"

namespace vrel {

int CVrelPictureCheckApp::InitInstance() {
    CVrelPictureCheckDlg dialog(platform_);
    dialog.exec();
    return 0;
}

} // namespace vrel
