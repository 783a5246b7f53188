// brenvale-dsn-setup: the ODBC data source administrator.
#include "ui/frm_dsn_setup.h"
#include "ui/qt_prompts.h"

#include <QApplication>
#include <QTimer>

#include <cstdlib>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorvane Brenvale DSN Setup"));
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
