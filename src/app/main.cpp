// The desktop program: the main window, started with the command line's switches.
#include "core/version.h"
#include "ui/frm_main.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr const char* kUsage =
    "Usage: brenvale [/a] [/q] [/c CONFIG]\n"
    "Loads SHOUTcast access logs into database tables through ODBC: the main window.\n"
    "\n"
    "  /a         run all jobs after start-up\n"
    "  /q         then end the program\n"
    "  /c CONFIG  load CONFIG; the rest of the command line is its path, so /a and /q\n"
    "             must come before /c\n"
    "  --help     show this help and exit\n"
    "  --version  show the version and exit\n"
    "\n"
    "Without /c, the configuration is config.xml beside the program, or\n"
    "$XDG_CONFIG_HOME/brenvale/config.xml (~/.config/brenvale/config.xml) when the program's\n"
    "folder is not the user's to write. brenvale-run loads a configuration without a window.\n";

} // namespace

int main(int argc, char** argv) {
    // Only whole arguments before "/c" count: everything after it is the configuration's path.
    for (int i = 1; i < argc && std::strstr(argv[i], "/c") == nullptr; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("brenvale %s\n", brenvale::VersionText().c_str());
            return 0;
        }
    }
    // Qt aborts when it finds no display; say so plainly instead.
    bool platformGiven = std::getenv("QT_QPA_PLATFORM") != nullptr;
    for (int i = 1; i < argc; ++i)
        platformGiven = platformGiven || std::strcmp(argv[i], "-platform") == 0;
    if (!platformGiven && std::getenv("DISPLAY") == nullptr &&
        std::getenv("WAYLAND_DISPLAY") == nullptr) {
        std::fputs("brenvale: no display for the main window (DISPLAY is not set); "
                   "brenvale-run loads a configuration without one.\n",
                   stderr);
        return 1;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorvane Brenvale"));
    QApplication::setApplicationVersion(QString::fromStdString(brenvale::VersionText()));
    brenvale::frmMain window;
    // QApplication has taken its own switches out of argv by now.
    if (!window.Form_Load(brenvale::ArgumentText(argc, argv)))
        return 0;
    return app.exec();
}
