// The QApplication of a Qt test program, ways to act inside a modal dialog's event loop, and
// comparison of the message boxes a test saw.
#pragma once

#include "support/test_support.h"

#include <QApplication>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>

namespace brenvale::test {

/// Creates the QApplication before the first test and destroys it after the last, inside main.
class QtApplicationEnvironment final : public ::testing::Environment {
public:
    void SetUp() override { app_ = std::make_unique<QApplication>(argc_, argv_); }
    void TearDown() override { app_.reset(); }

private:
    int argc_ = 1;
    char name_[16] = "brenvale-test";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QApplication> app_;
};

inline ::testing::Environment* const kQtApplication =
    ::testing::AddGlobalTestEnvironment(new QtApplicationEnvironment);

/// Runs `action` on the `Dialog` that the next event loop to run shows modally (the timer dies
/// with this object, so it never acts on a later dialog). One that is missing, or that the
/// action leaves open, is a failure; the open one is closed so that the test goes on.
template <typename Dialog> class OnModal {
public:
    explicit OnModal(std::function<void(Dialog&)> action) {
        timer_.setSingleShot(true);
        QObject::connect(&timer_, &QTimer::timeout, &timer_, [action = std::move(action)] {
            auto* dialog = qobject_cast<Dialog*>(QApplication::activeModalWidget());
            const char* name = Dialog::staticMetaObject.className();
            ASSERT_NE(dialog, nullptr) << "no " << name << " is open";
            action(*dialog);
            if (dialog->isVisible()) {
                ADD_FAILURE() << "the " << name << " is still open";
                dialog->close();
            }
        });
        timer_.start(0);
    }

private:
    QTimer timer_;
};

/// The filter of the dialog that picks a log file.
inline constexpr const char* kLogFilter =
    "Log Files (*.log)|*.log|Text Files (*.txt)|*.txt|All Files (*.*)|*.*";

using Shown = ScriptedPrompts::Shown;

inline bool operator==(const Shown& a, const Shown& b) {
    return a.icon == b.icon && a.title == b.title && a.text == b.text && a.question == b.question;
}
inline void PrintTo(const Shown& shown, std::ostream* out) {
    *out << "{icon " << static_cast<int>(shown.icon) << ", \"" << shown.title << "\", \""
         << shown.text << "\", " << (shown.question ? "question" : "message") << "}";
}

} // namespace brenvale::test
