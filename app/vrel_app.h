#pragma once

namespace vrel {

class Platform;

// The application: runs the main window until it closes.
class Application {
public:
    explicit Application(Platform& platform) : platform_(platform) {}
    // Shows the main window modally and returns the program's exit status when it closes,
    // always 0; at once, without a window, where the settings cannot be read.
    int Run();

private:
    Platform& platform_;
};

} // namespace vrel
