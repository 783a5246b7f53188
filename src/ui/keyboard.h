// Keyboard habits the windows share.
#pragma once

class QWidget;

namespace brenvale {

/// Makes Enter (and the keypad's Enter) press whichever push button inside `root` has the
/// focus, as Space does; outside dialogs Qt leaves Enter to default buttons only.
void PressButtonsOnEnter(QWidget& root);

} // namespace brenvale
