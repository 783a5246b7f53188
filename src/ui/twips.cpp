// Layout helpers for windows designed in twips.
#include "ui/twips.h"

#include <QCoreApplication>
#include <QGroupBox>
#include <QPainter>
#include <QPointer>
#include <QProxyStyle>
#include <QStyleOptionGroupBox>

namespace brenvale {

namespace {

/// Draws a captioned group box's frame line through the middle of its caption, with the caption
/// a little in from the left, as the twip layouts were drawn; Fusion puts the line below the
/// caption, where the first row of controls already stands.
class DesignFrameStyle final : public QProxyStyle {
public:
    QRect subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl sub,
                         const QWidget* widget) const override {
        QRect rect = QProxyStyle::subControlRect(control, option, sub, widget);
        if (control == CC_GroupBox && sub == SC_GroupBoxLabel && Captioned(option))
            rect.translate(kCaptionIndent, 0);
        return rect;
    }

    void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option,
                            QPainter* painter, const QWidget* widget) const override {
        if (control != CC_GroupBox || !Captioned(option)) {
            QProxyStyle::drawComplexControl(control, option, painter, widget);
            return;
        }
        const auto& box = *qstyleoption_cast<const QStyleOptionGroupBox*>(option);
        const QRect caption = subControlRect(control, option, SC_GroupBoxLabel, widget);
        const QRect frame = box.rect.adjusted(0, caption.center().y(), -1, -1);
        painter->save();
        painter->setClipRegion(QRegion(box.rect).subtracted(caption.adjusted(-2, 0, 2, 0)));
        // An etched line: dark, with a light one a pixel below and to the right.
        painter->setPen(box.palette.color(QPalette::Mid));
        painter->drawRect(frame.adjusted(0, 0, -1, -1));
        painter->setPen(box.palette.color(QPalette::Light));
        painter->drawRect(frame.adjusted(1, 1, 0, 0));
        painter->restore();
        drawItemText(painter, caption, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextShowMnemonic,
                     box.palette, (box.state & State_Enabled) != 0, box.text, QPalette::WindowText);
    }

private:
    static constexpr int kCaptionIndent = 6;

    static bool Captioned(const QStyleOptionComplex* option) {
        const auto* box = qstyleoption_cast<const QStyleOptionGroupBox*>(option);
        return box != nullptr && !box->text.isEmpty() &&
               !(box->features & QStyleOptionFrame::Flat) &&
               (box->subControls & QStyle::SC_GroupBoxFrame) &&
               !(box->subControls & QStyle::SC_GroupBoxCheckBox);
    }
};

} // namespace

void UseDesignFrames(QWidget& window) {
    static QPointer<DesignFrameStyle> style;
    if (style == nullptr) {
        style = new DesignFrameStyle;
        style->setParent(QCoreApplication::instance());
    }
    for (QGroupBox* box : window.findChildren<QGroupBox*>())
        box->setStyle(style);
}

} // namespace brenvale
