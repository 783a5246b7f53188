// The open and save dialogs, and the one-line question: what the user chose, or nothing.
#pragma once

#include <QStringList>

#include <functional>
#include <optional>
#include <string>

class QFileDialog;
class QWidget;

namespace brenvale {

/// Shows a fresh open dialog modal to `owner`; the file must exist. `filter` is Windows-style
/// ("Log Files (*.log)|*.log|All Files (*.*)|*.*"), `filterIndex` 1-based. Empty text on cancel.
std::string ShowOpenDialog(QWidget* owner, const std::string& filter, int filterIndex,
                           const std::string& title);

/// Shows a fresh save dialog modal to `owner`: no overwrite question, no extension added.
/// Returns the path as the user gave it, or empty text on cancel.
std::string ShowSaveDialog(QWidget* owner, const std::string& filter, int filterIndex,
                           const std::string& title);

/// Stands in for the user at every file dialog: while set, the two functions above show nothing
/// and return what `script` returns, given whether it is the save dialog and the caller's title,
/// filter and index. Tests set it so no real dialog opens; nullptr restores the real dialogs.
using FileDialogScript = std::function<std::string(bool save, const std::string& title,
                                                   const std::string& filter, int filterIndex)>;
void SetFileDialogScript(FileDialogScript script);

/// Asks for one line of text in a small modal dialog over `owner`, proposing `proposed`; the
/// text as typed, or nothing when the user cancels.
std::optional<std::string> AskForText(QWidget* owner, const std::string& title,
                                      const std::string& label, const std::string& proposed = {});

/// Stands in for the user at AskForText, as SetFileDialogScript does for the file dialogs.
using TextQuestionScript =
    std::function<std::optional<std::string>(const std::string& title, const std::string& label)>;
void SetTextQuestionScript(TextQuestionScript script);

/// Qt name filters for a Windows-style filter: each "Desc|*.a;*.b" pair becomes "Desc (*.a *.b)",
/// with "*.*" as "*" so that it matches names without a dot too.
QStringList QtNameFilters(const std::string& filter);

/// Sets up `dialog` as the open (`save` false) or save dialog with the caller's values.
void ConfigureFileDialog(QFileDialog& dialog, bool save, const std::string& filter, int filterIndex,
                         const std::string& title);

} // namespace brenvale
