#include "BootstrapApp.h"

int main(int argc, char** argv) {
    return quorvane::BootstrapApp::main(argc, argv);
}
