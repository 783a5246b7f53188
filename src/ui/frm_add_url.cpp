// The Add URL dialog: the address of a log document, added as a new job's source.
#include "ui/frm_add_url.h"

#include "ui/qt_prompts.h"
#include "ui/twips.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QRadioButton>

#include <utility>

namespace brenvale {

namespace {

/// Shows "*" for every character of a password box, whatever the platform's style would use.
class StarPasswordStyle final : public QProxyStyle {
public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override {
        if (hint == QStyle::SH_LineEdit_PasswordCharacter)
            return '*';
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

} // namespace

frmAddURL::frmAddURL(QWidget* parent, std::function<void(const std::string&)> addFile)
    : QDialog(parent), addFile_(std::move(addFile)) {
    setObjectName(QStringLiteral("frmAddURL"));
    setWindowTitle(QStringLiteral("Add URL / SHOUTcast Server"));
    setModal(true);
    UseDesignFont(*this);
    setFixedSize(TwipSize(5895, 3300));

    frameURL = new QGroupBox(
        QStringLiteral("URL (ex. http://your.server.example:8000/logs/w3c.log)"), this);
    frameURL->setGeometry(TwipRect(60, 60, 5775, 735));
    txtURL = new QLineEdit(QStringLiteral("http://"), frameURL);
    txtURL->setGeometry(TwipRect(120, 300, 5475, 285));

    frameServerType = new QGroupBox(QStringLiteral("URL/Server Type"), this);
    frameServerType->setGeometry(TwipRect(60, 900, 5775, 1695));
    optType[0] = new QRadioButton(QStringLiteral("Explicit URL"), frameServerType);
    optType[0]->setGeometry(TwipRect(120, 300, 2475, 195));
    optType[0]->setChecked(true);
    optType[1] = new QRadioButton(QStringLiteral("SHOUTcast Server"), frameServerType);
    optType[1]->setGeometry(TwipRect(120, 660, 2475, 195));
    optType[1]->setEnabled(false);
    Label1 = new QLabel(
        QStringLiteral("Note:  The explicit URL option retrieves the log document directly.  If "
                       "you use the SHOUTcast Server option the log will be retrieved through the "
                       "admin interface.  Only works with SHOUTcast DNAs, does not work with "
                       "Icecast."),
        frameServerType);
    Label1->setGeometry(TwipRect(120, 1020, 5535, 615));
    Label1->setWordWrap(true);
    Label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    frameShoutcastAuth = new QGroupBox(QStringLiteral("SHOUTcast Authentication"), frameServerType);
    frameShoutcastAuth->setGeometry(TwipRect(2640, 120, 3015, 795));
    frameShoutcastAuth->setEnabled(false);
    lblShoutcastPass = new QLabel(QStringLiteral("Password:"), frameShoutcastAuth);
    lblShoutcastPass->setGeometry(TwipRect(120, 300, 735, 255));
    lblShoutcastPass->setEnabled(false);
    txtShoutcastPass = new QLineEdit(frameShoutcastAuth);
    txtShoutcastPass->setGeometry(TwipRect(900, 285, 1995, 285));
    txtShoutcastPass->setEchoMode(QLineEdit::Password);
    auto* starStyle = new StarPasswordStyle;
    starStyle->setParent(txtShoutcastPass);
    txtShoutcastPass->setStyle(starStyle);
    txtShoutcastPass->setEnabled(false);

    cmdOk = new QPushButton(QStringLiteral("Ok"), this);
    cmdOk->setGeometry(TwipRect(3120, 2760, 1215, 435));
    cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    cmdCancel->setGeometry(TwipRect(4560, 2760, 1215, 435));
    UseDesignFrames(*this);

    // Group boxes and labels take no focus in Qt; the focusable controls keep the designed order.
    QWidget::setTabOrder(txtURL, optType[0]);
    QWidget::setTabOrder(optType[0], optType[1]);
    QWidget::setTabOrder(optType[1], txtShoutcastPass);
    QWidget::setTabOrder(txtShoutcastPass, cmdOk);
    QWidget::setTabOrder(cmdOk, cmdCancel);
    txtURL->setFocus();

    for (int index = 0; index < static_cast<int>(optType.size()); ++index)
        connect(optType[index], &QRadioButton::clicked, this,
                [this, index] { optType_Click(index); });
    connect(cmdOk, &QPushButton::clicked, this, &frmAddURL::cmdOk_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &frmAddURL::cmdCancel_Click);
}

void frmAddURL::setVisible(bool visible) {
    QDialog::setVisible(visible);
    // A dialog being shown focuses its first box as Tab does, which selects all of its text; the
    // address is typed after the scheme, not over it.
    if (visible) {
        txtURL->deselect();
        txtURL->end(false);
    }
}

void frmAddURL::optType_Click(int /*index*/) {
    Guarded(this, [this] {
        const bool server = optType[1]->isChecked();
        frameShoutcastAuth->setEnabled(server);
        lblShoutcastPass->setEnabled(server);
        txtShoutcastPass->setEnabled(server);
    });
}

void frmAddURL::cmdOk_Click() {
    // An address the job list refused is a message; the dialog closes all the same.
    Guarded(this, [this] {
        if (optType[0]->isChecked() && addFile_)
            addFile_(txtURL->text().toStdString());
    });
    accept();
}

void frmAddURL::cmdCancel_Click() {
    reject();
}

} // namespace brenvale
