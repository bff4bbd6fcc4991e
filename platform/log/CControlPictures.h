#pragma once

#include <QFont>
#include <QFontMetrics>
#include <QString>
#include <array>

class QColor;
class QPainter;

namespace Platform {

// Text of the log box with its control pictures (U+2400-U+2421, which stand for control
// characters) drawn as small boxed abbreviations, "LF", "CR", "ESC", "DEL", each as wide as
// it needs: few fonts have glyphs for them, and where none has, they would all be the same
// empty box. Measuring and drawing agree, so hit-testing matches what is painted. Text
// without pictures is measured and drawn as one run; only rows that hold pictures pay.
class CControlPictures {
public:
    // For text in font.
    explicit CControlPictures(const QFont& font);

    // Whether c is a control picture.
    static bool IsPicture(QChar c) { return c.unicode() >= 0x2400 && c.unicode() <= 0x2421; }
    // The abbreviation drawn for a control picture.
    static QString Abbreviation(QChar c);

    // Width of text as drawn.
    int Advance(const QString& text) const;
    // Draws text with its baseline at y from x; pictures take the muted colour.
    void Draw(QPainter& painter, int x, int y, const QString& text, const QColor& muted) const;

private:
    int PictureWidth(QChar c) const;

    QFontMetrics m_metrics;
    QFont m_small;
    QFontMetrics m_smallMetrics;
    // Widths of the pictures measured so far, 0 for the others.
    mutable std::array<int, 0x22> m_widths{};
};

}  // namespace Platform
