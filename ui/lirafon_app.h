// The application frame: command line (--help, --version), the choice of the offscreen platform
// when there is no display, the signals that end the run, and the one modal run of the window.
#pragma once

#include <string>
#include <vector>

class CNDILirafonApp {
public:
    // Runs the program; returns the process exit status.
    int Run(int argc, char** argv);

    static std::string HelpText();
    // The application's name and version, which message boxes take as their caption.
    static void NameApplication();
    static std::string VersionText();
};
