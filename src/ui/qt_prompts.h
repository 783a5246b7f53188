// Message boxes on Qt for the core's prompts.
#pragma once

#include "core/run_state.h"

#include <QPointer>

#include <string>

class QWidget;

namespace brenvale {

/// The program's name, the title of a message box given none.
inline constexpr const char* kProgramName = "Quorvane Brenvale";

/// A driver's diagnostic as a message shows it: the lines after the first without their leading
/// tabs and blanks, with no blank lines and no line break at the end.
std::string TidyDiagnostic(const std::string& diagnostic);

/// Shows every prompt as a modal QMessageBox over `parent` (which may be null).
class QtPrompts final : public Prompts {
public:
    explicit QtPrompts(QWidget* parent);

    /// Yes and No; true only for Yes (Escape and the close box answer No).
    bool AskYesNo(MessageIcon icon, const std::string& title, const std::string& text) override;
    /// One OK button.
    void Inform(MessageIcon icon, const std::string& title, const std::string& text) override;

private:
    QPointer<QWidget> parent_;
};

} // namespace brenvale
