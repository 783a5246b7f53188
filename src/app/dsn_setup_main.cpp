// brenvale-dsn-setup: the ODBC data source administrator.
#include "core/version.h"
#include "ui/frm_dsn_setup.h"
#include "ui/qt_prompts.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* kUsage =
    "Usage: brenvale-dsn-setup\n"
    "The ODBC data source administrator of Quorvane Brenvale: lists the user and system data\n"
    "sources with their drivers, adds, edits and removes user data sources and tests a\n"
    "connection. It writes through unixODBC, so every ODBC program sees the same sources.\n"
    "\n"
    "  --help     show this help and exit\n"
    "  --version  show the version and exit\n";

} // namespace

int main(int argc, char* argv[]) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("brenvale-dsn-setup %s\n", brenvale::VersionText().c_str());
            return 0;
        }
    }
    // Qt aborts when it finds no display; say so plainly instead.
    bool platformGiven = std::getenv("QT_QPA_PLATFORM") != nullptr;
    for (int i = 1; i < argc; ++i)
        platformGiven = platformGiven || std::strcmp(argv[i], "-platform") == 0;
    if (!platformGiven && std::getenv("DISPLAY") == nullptr &&
        std::getenv("WAYLAND_DISPLAY") == nullptr) {
        std::fputs("brenvale-dsn-setup: no display for the window (DISPLAY is not set); "
                   "odbcinst edits data sources without one.\n",
                   stderr);
        return 1;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorvane Brenvale DSN Setup"));
    QApplication::setApplicationVersion(QString::fromStdString(brenvale::VersionText()));
    brenvale::QtPrompts prompts(nullptr);
    brenvale::frmDSNSetup window(nullptr, prompts);
    window.show();
    // For the documentation: BRENVALE_SCREENSHOT=file.png saves the window once shown, then quits.
    if (const char* shot = std::getenv("BRENVALE_SCREENSHOT"); shot && *shot)
        QTimer::singleShot(0, &window, [&window, shot] {
            window.grab().save(QString::fromLocal8Bit(shot));
            QApplication::quit();
        });
    return app.exec();
}
