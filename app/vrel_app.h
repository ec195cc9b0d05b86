#pragma once

namespace vrel {

class Platform;

// The application: starts the main dialog and ends when it ends.
class CVrelPictureCheckApp {
public:
    explicit CVrelPictureCheckApp(Platform& platform) : platform_(platform) {}
    // Runs the main dialog modally; always returns 0.
    int InitInstance();

private:
    Platform& platform_;
};

} // namespace vrel
