// The desktop program: the main window, started with the command line's switches.
#include "core/version.h"
#include "ui/frm_main.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
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
