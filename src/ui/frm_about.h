// The About window: logo, title line, credits and a way to the web site.
#pragma once

#include <QDialog>

#include <functional>
#include <string>

class QLabel;
class QPushButton;

namespace brenvale {

/// The maker's web site, opened by "Woot, go to the website!".
inline constexpr const char* kWebSite = "http://www.quorvane.example/brenvale";

/// `url` as the browser is given it: "http://" put in front unless the text begins with "http" in
/// any letter case.
std::string BrowserAddress(std::string url);

/// Created for each opening and run with exec(); keeps no state.
class frmAbout final : public QDialog {
    Q_OBJECT

public:
    explicit frmAbout(QWidget* parent = nullptr);

    /// Opens BrowserAddress(URL) in the user's web browser; true when the desktop accepted it.
    static bool OpenBrowser(std::string URL);

    /// Replaces the desktop's browser launch, given the final address (tests set it so that no
    /// browser starts); nullptr restores the desktop.
    using BrowserOpener = std::function<bool(const std::string& address)>;
    static void SetBrowserOpener(BrowserOpener opener);

    QLabel* Image1;
    QLabel* Label1;
    QLabel* Label2;
    QLabel* lblVersion;
    QPushButton* cmdLaunchSite;
    QPushButton* cmdExit;

public slots:
    void cmdLaunchSite_Click();
    void cmdExit_Click();
};

} // namespace brenvale
