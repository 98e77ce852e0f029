#include "BootstrapApp.h"

int main(int argc, char** argv) {
    quorvane::BootstrapApp::main(argc, argv);
}
