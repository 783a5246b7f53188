// The About window: logo, title line, credits and a way to the web site.
#include "ui/frm_about.h"

#include "core/version.h"
#include "ui/qt_prompts.h"
#include "ui/twips.h"

#include <QDesktopServices>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPushButton>
#include <QUrl>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <utility>

namespace brenvale {

namespace {

frmAbout::BrowserOpener& Opener() {
    static frmAbout::BrowserOpener opener;
    return opener;
}

/// The maker's logo: a wave over a dark band with the maker's name.
QPixmap DrawLogo(QSize size) {
    QPixmap logo(size);
    QPainter painter(&logo);
    painter.setRenderHint(QPainter::Antialiasing);
    QLinearGradient background(0, 0, size.width(), size.height());
    background.setColorAt(0, QColor(16, 32, 64));
    background.setColorAt(1, QColor(32, 96, 128));
    painter.fillRect(logo.rect(), background);

    QPainterPath wave;
    const qreal middle = size.height() * 0.7;
    wave.moveTo(0, middle);
    for (int x = 0; x <= size.width(); x += 4) {
        const qreal phase = x / 40.0;
        wave.lineTo(x, middle + 10 * std::sin(phase) * std::cos(phase / 3));
    }
    painter.setPen(QPen(QColor(255, 180, 40), 3));
    painter.drawPath(wave);

    QFont font(QStringLiteral("Arial"));
    font.setPixelSize(size.height() / 3);
    font.setBold(true);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(QRect(16, 8, size.width() - 32, size.height() / 2),
                     Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("QUORVANE"));
    return logo;
}

} // namespace

std::string BrowserAddress(std::string url) {
    std::string lower = url;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (!lower.starts_with("http"))
        url.insert(0, "http://");
    return url;
}

frmAbout::frmAbout(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("frmAbout"));
    setWindowTitle(QStringLiteral("About..."));
    setModal(true);
    UseDesignFont(*this);
    setFixedSize(TwipSize(6120, 5775));

    const QRect logoPlace = TwipRect(0, 0, 6225, 1545);
    Image1 = new QLabel(this);
    Image1->setGeometry(logoPlace);
    Image1->setPixmap(DrawLogo(logoPlace.size()));

    Label1 = new QLabel(QStringLiteral("Brenvale"), this);
    Label1->setGeometry(TwipRect(0, 1620, 6075, 435));
    Label1->setAlignment(Qt::AlignCenter);
    QFont titleFont(QStringLiteral("Arial"));
    titleFont.setPointSizeF(14.25);
    Label1->setFont(titleFont);

    Label2 = new QLabel(
        QStringLiteral("Quorvane Brenvale was written by the Quorvane team to load SHOUTcast "
                       "access logs into your database.\n\n"
                       "If it saves you time, please think about a small donation through the "
                       "web site.\n\n"
                       "Comments and bug reports are welcome at brenvale@quorvane.example."),
        this);
    Label2->setGeometry(TwipRect(60, 2160, 5955, 2775));
    Label2->setWordWrap(true);
    Label2->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    QFont creditsFont;
    creditsFont.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Liberation Sans"),
                             QStringLiteral("Arial"), QStringLiteral("DejaVu Sans Condensed")});
    creditsFont.setPointSize(12);
    Label2->setFont(creditsFont);

    lblVersion =
        new QLabel(QStringLiteral("Version %1").arg(QString::fromStdString(VersionText())), this);
    lblVersion->setGeometry(TwipRect(60, 5160, 1900, 495));
    lblVersion->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    cmdLaunchSite = new QPushButton(QStringLiteral("Woot, go to the website!"), this);
    cmdLaunchSite->setGeometry(TwipRect(2040, 5160, 1875, 495));
    cmdExit = new QPushButton(QStringLiteral("Thanks, I'm done here"), this);
    cmdExit->setGeometry(TwipRect(4080, 5160, 1875, 495));

    connect(cmdLaunchSite, &QPushButton::clicked, this, &frmAbout::cmdLaunchSite_Click);
    connect(cmdExit, &QPushButton::clicked, this, &frmAbout::cmdExit_Click);
}

bool frmAbout::OpenBrowser(std::string URL) {
    const std::string address = BrowserAddress(std::move(URL));
    if (const BrowserOpener& opener = Opener())
        return opener(address);
    return QDesktopServices::openUrl(QUrl(QString::fromStdString(address), QUrl::TolerantMode));
}

void frmAbout::SetBrowserOpener(BrowserOpener opener) {
    Opener() = std::move(opener);
}

void frmAbout::cmdLaunchSite_Click() {
    Guarded(this, [] { (void)OpenBrowser(kWebSite); });
}

void frmAbout::cmdExit_Click() {
    accept();
}

} // namespace brenvale
