#include "app/vrel_app.h"

#include "app/main_dialog.h"
#include "app/platform.h"

namespace vrel {

int Application::Run() {
    MainDialog dialog(platform_);
    if (dialog.Ready()) {
        dialog.exec();
    }
    return 0;
}

} // namespace vrel
