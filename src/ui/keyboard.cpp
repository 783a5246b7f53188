// Keyboard habits the windows share.
#include "ui/keyboard.h"

#include <QEvent>
#include <QKeyEvent>
#include <QPushButton>
#include <QWidget>

namespace brenvale {

namespace {

class EnterPresses final : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::KeyPress)
            return false;
        const auto* key = static_cast<QKeyEvent*>(event);
        const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
        const Qt::KeyboardModifiers modifiers = key->modifiers() & ~Qt::KeypadModifier;
        auto* button = qobject_cast<QPushButton*>(watched);
        if (!enter || modifiers != Qt::NoModifier || button == nullptr || !button->isEnabled())
            return false;
        button->click();
        return true;
    }
};

} // namespace

void PressButtonsOnEnter(QWidget& root) {
    auto* filter = new EnterPresses(&root);
    for (QPushButton* button : root.findChildren<QPushButton*>())
        button->installEventFilter(filter);
}

} // namespace brenvale
