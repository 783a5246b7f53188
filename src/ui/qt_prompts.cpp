// Message boxes on Qt for the core's prompts.
#include "ui/qt_prompts.h"

#include <QMessageBox>
#include <QString>
#include <QStringList>

#include <exception>

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
    const QString body = Body(text);
    QMessageBox box(ToQtIcon(icon), Title(title), body, buttons, parent);
    box.setTextFormat(Qt::PlainText);
    // A box taller than the screen would hide its buttons; a run summary can be that long.
    const QStringList lines = body.split(QLatin1Char('\n'));
    if (lines.size() > QtPrompts::kShownLines) {
        const int tail = QtPrompts::kShownLines / 4;
        box.setText(lines.mid(0, QtPrompts::kShownLines - tail - 1).join(QLatin1Char('\n')) +
                    QStringLiteral("\n...\n") +
                    lines.mid(lines.size() - tail).join(QLatin1Char('\n')));
        box.setDetailedText(body);
    }
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

void Guarded(Prompts& prompts, const std::string& title, const std::function<void()>& action) {
    std::string failure;
    try {
        action();
        return;
    } catch (const std::exception& error) {
        failure = std::string("Unexpected failure: ") + error.what();
    } catch (...) {
        failure = "Unexpected failure.";
    }
    try {
        prompts.Inform(MessageIcon::Critical, title, failure);
    } catch (...) {
        // Nothing is left to tell it with; the window goes on.
    }
}

void Guarded(QWidget* owner, const std::function<void()>& action) {
    QtPrompts prompts(owner);
    Guarded(prompts, action);
}

QtPrompts::QtPrompts(QWidget* parent) : parent_(parent) {}

bool QtPrompts::AskYesNo(MessageIcon icon, const std::string& title, const std::string& text) {
    return Run(parent_, icon, title, text, QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

void QtPrompts::Inform(MessageIcon icon, const std::string& title, const std::string& text) {
    Run(parent_, icon, title, text, QMessageBox::Ok);
}

} // namespace brenvale
