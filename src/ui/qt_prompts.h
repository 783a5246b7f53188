// Message boxes on Qt for the core's prompts.
#pragma once

#include "core/run_state.h"

#include <QPointer>

#include <functional>
#include <string>

class QWidget;

namespace brenvale {

/// The program's name, the title of a message box given none.
inline constexpr const char* kProgramName = "Quorvane Brenvale";

/// A driver's diagnostic as a message shows it: the lines after the first without their leading
/// tabs and blanks, with no blank lines and no line break at the end.
std::string TidyDiagnostic(const std::string& diagnostic);

/// Runs `action`; an exception it lets out becomes one message through `prompts` ("Unexpected
/// failure: " and its text, titled `title` or the program's name), so that none crosses the event
/// loop. Never throws.
void Guarded(Prompts& prompts, const std::string& title, const std::function<void()>& action);
inline void Guarded(Prompts& prompts, const std::function<void()>& action) {
    Guarded(prompts, {}, action);
}
/// The same with a message box over `owner`, for windows without prompts of their own.
void Guarded(QWidget* owner, const std::function<void()>& action);

/// Shows every prompt as a modal QMessageBox over `parent` (which may be null). A text of more
/// than kShownLines lines shows its start and its end, and the whole in the details area.
class QtPrompts final : public Prompts {
public:
    static constexpr int kShownLines = 24;

    explicit QtPrompts(QWidget* parent);

    /// Yes and No; true only for Yes (Escape and the close box answer No).
    bool AskYesNo(MessageIcon icon, const std::string& title, const std::string& text) override;
    /// One OK button.
    void Inform(MessageIcon icon, const std::string& title, const std::string& text) override;

private:
    QPointer<QWidget> parent_;
};

} // namespace brenvale
