// Message boxes on Qt for the core's prompts.
#include "ui/qt_prompts.h"

#include <QMessageBox>
#include <QString>

namespace brenvale {

namespace {

QMessageBox::Icon ToQtIcon(MessageIcon icon) {
    switch (icon) {
    case MessageIcon::Critical:
        return QMessageBox::Critical;
    case MessageIcon::Exclamation:
        return QMessageBox::Warning;
    case MessageIcon::Question:
        return QMessageBox::Question;
    case MessageIcon::Information:
        return QMessageBox::Information;
    case MessageIcon::None:
        break;
    }
    return QMessageBox::NoIcon;
}

QString Title(const std::string& title) {
    return QString::fromStdString(title.empty() ? std::string(kProgramName) : title);
}

// Texts carry Windows line breaks; a CR shown by Qt would be a stray glyph.
QString Body(const std::string& text) {
    QString body = QString::fromStdString(text);
    body.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return body;
}

QMessageBox::StandardButton Run(QWidget* parent, MessageIcon icon, const std::string& title,
                                const std::string& text, QMessageBox::StandardButtons buttons) {
    QMessageBox box(ToQtIcon(icon), Title(title), Body(text), buttons, parent);
    box.setTextFormat(Qt::PlainText);
    if (buttons & QMessageBox::No)
        box.setEscapeButton(QMessageBox::No);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

} // namespace

std::string TidyDiagnostic(const std::string& diagnostic) {
    std::string tidy;
    std::size_t start = 0;
    while (start < diagnostic.size()) {
        std::size_t end = diagnostic.find('\n', start);
        if (end == std::string::npos)
            end = diagnostic.size();
        std::string line = diagnostic.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!tidy.empty()) {
            line.erase(0, line.find_first_not_of(" \t"));
            if (line.empty())
                continue;
            tidy += '\n';
        }
        tidy += line;
    }
    return tidy;
}

QtPrompts::QtPrompts(QWidget* parent) : parent_(parent) {}

bool QtPrompts::AskYesNo(MessageIcon icon, const std::string& title, const std::string& text) {
    return Run(parent_, icon, title, text, QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

void QtPrompts::Inform(MessageIcon icon, const std::string& title, const std::string& text) {
    Run(parent_, icon, title, text, QMessageBox::Ok);
}

} // namespace brenvale
