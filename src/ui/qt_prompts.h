// Message boxes on Qt for the core's prompts.
#pragma once

#include "core/run_state.h"

#include <QPointer>

#include <string>

class QWidget;

namespace brenvale {

/// The program's name, the title of a message box given none.
inline constexpr const char* kProgramName = "Quorvane Brenvale";

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
