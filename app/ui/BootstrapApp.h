#pragma once

namespace quorvane {

// The program: one fixed-size installer window in the installer's own light look, and the end
// of the program when that window closes.
class BootstrapApp {
public:
    // Runs the application loop and returns 0 when it ends. The command line is not read.
    static int main(int argc, char** argv);

    // The look every installer window gets whatever the desktop theme: Fusion, the light
    // palette, the installer's icon. Call it once the QApplication exists; tests and tools do,
    // to render the same window.
    static void configure();
};

} // namespace quorvane
