// The open and save dialogs, and the one-line question: what the user chose, or nothing.
#include "ui/file_dialogs.h"

#include "ui/qt_prompts.h"

#include <QFileDialog>
#include <QInputDialog>
#include <QLineEdit>
#include <QString>

#include <exception>
#include <utility>

namespace brenvale {

namespace {

FileDialogScript& Script() {
    static FileDialogScript script;
    return script;
}

TextQuestionScript& TextScript() {
    static TextQuestionScript script;
    return script;
}

QString Patterns(const QString& windowsPatterns) {
    QStringList patterns;
    for (const QString& pattern : windowsPatterns.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const QString trimmed = pattern.trimmed();
        patterns << (trimmed == QLatin1String("*.*") ? QStringLiteral("*") : trimmed);
    }
    return patterns.isEmpty() ? QStringLiteral("*") : patterns.join(QLatin1Char(' '));
}

std::string Show(QWidget* owner, bool save, const std::string& filter, int filterIndex,
                 const std::string& title) {
    if (const FileDialogScript& script = Script())
        return script(save, title, filter, filterIndex);
    try {
        QFileDialog dialog(owner);
        ConfigureFileDialog(dialog, save, filter, filterIndex, title);
        if (dialog.exec() != QDialog::Accepted)
            return {};
        const QStringList files = dialog.selectedFiles();
        return files.isEmpty() ? std::string() : files.first().toStdString();
    } catch (const std::exception& error) {
        QtPrompts(owner).Inform(MessageIcon::None, "", std::string("Error: ") + error.what());
        return {};
    }
}

} // namespace

std::string ShowOpenDialog(QWidget* owner, const std::string& filter, int filterIndex,
                           const std::string& title) {
    return Show(owner, false, filter, filterIndex, title);
}

std::string ShowSaveDialog(QWidget* owner, const std::string& filter, int filterIndex,
                           const std::string& title) {
    return Show(owner, true, filter, filterIndex, title);
}

void SetFileDialogScript(FileDialogScript script) {
    Script() = std::move(script);
}

std::optional<std::string> AskForText(QWidget* owner, const std::string& title,
                                      const std::string& label, const std::string& proposed) {
    if (const TextQuestionScript& script = TextScript())
        return script(title, label);
    bool ok = false;
    const QString text =
        QInputDialog::getText(owner, QString::fromStdString(title), QString::fromStdString(label),
                              QLineEdit::Normal, QString::fromStdString(proposed), &ok);
    if (!ok)
        return std::nullopt;
    return text.toStdString();
}

void SetTextQuestionScript(TextQuestionScript script) {
    TextScript() = std::move(script);
}

QStringList QtNameFilters(const std::string& filter) {
    QStringList filters;
    if (filter.empty())
        return filters;
    const QStringList parts = QString::fromStdString(filter).split(QLatin1Char('|'));
    for (qsizetype i = 0; i < parts.size(); i += 2) {
        const QString description = parts[i].trimmed();
        const QString patterns = Patterns(i + 1 < parts.size() ? parts[i + 1] : QString());
        // The description keeps its own "(*.*)"; Qt reads the patterns from the last parentheses
        // and, with HideNameFilterDetails, shows only the description.
        filters << (description.isEmpty() ? patterns : description) + QStringLiteral(" (") +
                       patterns + QLatin1Char(')');
    }
    return filters;
}

void ConfigureFileDialog(QFileDialog& dialog, bool save, const std::string& filter, int filterIndex,
                         const std::string& title) {
    dialog.setWindowTitle(QString::fromStdString(title));
    dialog.setWindowModality(dialog.parentWidget() ? Qt::WindowModal : Qt::ApplicationModal);
    if (save) {
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
        dialog.setDefaultSuffix(QString());
    } else {
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        dialog.setFileMode(QFileDialog::ExistingFile);
    }
    dialog.setOption(QFileDialog::HideNameFilterDetails, true);
    const QStringList filters = QtNameFilters(filter);
    if (filters.isEmpty())
        return;
    dialog.setNameFilters(filters);
    const int index = filterIndex >= 1 && filterIndex <= filters.size() ? filterIndex - 1 : 0;
    dialog.selectNameFilter(filters[index]);
}

} // namespace brenvale
