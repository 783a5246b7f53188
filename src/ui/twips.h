// Layout helpers for windows designed in twips: 15 twips to the pixel, fonts in pixels to match.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>
#include <QWidget>

namespace brenvale {

/// Twips to pixels at 15 twips per pixel, rounded.
constexpr int TwipsToPixels(int twips) {
    return (twips + 7) / 15;
}

/// A control's place given in twips (left, top, width, height).
inline QRect TwipRect(int left, int top, int width, int height) {
    return {TwipsToPixels(left), TwipsToPixels(top), TwipsToPixels(width), TwipsToPixels(height)};
}

inline QSize TwipSize(int width, int height) {
    return {TwipsToPixels(width), TwipsToPixels(height)};
}

/// Gives `window` a 10-pixel font of narrow sans-serif build, the size the twip layouts were drawn
/// for, so that texts fit their boxes whatever the screen's dots per inch.
inline void UseDesignFont(QWidget& window) {
    QFont font = window.font();
    font.setFamilies({QStringLiteral("Liberation Sans"), QStringLiteral("Arial"),
                      QStringLiteral("DejaVu Sans Condensed"), font.family()});
    font.setPixelSize(10);
    window.setFont(font);
}

/// Draws the captioned group boxes of `window` with the frame line through their caption, where
/// the twip layouts expect it. Call once the boxes exist.
void UseDesignFrames(QWidget& window);

} // namespace brenvale
