#pragma once

namespace quorvane {

// The program: one fixed-size installer window in the installer's own light look, and the end
// of the program when that window closes.
class BootstrapApp {
public:
    // Runs the application loop and, once it ends and the run has wound down, ends the process
    // with status 0 (it does not return). The command line is not read.
    [[noreturn]] static void main(int argc, char** argv);

    // The look every installer window gets whatever the desktop theme: Fusion, the light
    // palette, the installer's icon. Call it once the QApplication exists; tests and tools do,
    // to render the same window.
    static void configure();
};

} // namespace quorvane
