// The desktop program: one window; the command line is ignored.
#include <cstdio>
#include <string>

#include "engine/system.h"
#include "imageio/imageio.h"
#include "ui/mainwindow.h"
#include "ui/processing.h"
#include "ui/ui.h"

int main(int argc, char** argv) {
    platformInit(argc, argv);
    installImageFileHandlers();
    installDesktopMessageSink();

    const std::string outputDirectory = chooseUserFolders(executableDirectory(), homeDirectory());
    if (openMainWindow(outputDirectory) == nullptr) {
        std::fprintf(stderr, "quorvane: the main window could not be created\n");
        return 1;
    }
    const int code = messageLoop();
    std::fflush(stdout);
    return code;
}
