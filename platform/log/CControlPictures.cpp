#include "CControlPictures.h"

#include <QColor>
#include <QPainter>
#include <algorithm>

namespace Platform {

namespace {

// The abbreviations of U+2400 to U+2420, then U+2421 (DEL).
const char* const kNames[] = {"NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL", "BS",
                              "HT",  "LF",  "VT",  "FF",  "CR",  "SO",  "SI",  "DLE", "DC1",
                              "DC2", "DC3", "DC4", "NAK", "SYN", "ETB", "CAN", "EM",  "SUB",
                              "ESC", "FS",  "GS",  "RS",  "US",  "SP",  "DEL"};
// Space between a picture's box and its letters, and between the box and its neighbours.
constexpr int kPadding = 1;
constexpr int kGap = 1;

QFont SmallFont(const QFont& font) {
    QFont small = font;
    if (font.pointSizeF() > 0)
        small.setPointSizeF(std::max(5.0, font.pointSizeF() * 0.7));
    else
        small.setPixelSize(std::max(6, font.pixelSize() * 7 / 10));
    return small;
}

bool HasPicture(const QString& text) {
    return std::any_of(text.begin(), text.end(), &CControlPictures::IsPicture);
}

}  // namespace

CControlPictures::CControlPictures(const QFont& font)
    : m_metrics(font), m_small(SmallFont(font)), m_smallMetrics(m_small) {}

QString CControlPictures::Abbreviation(QChar c) {
    return QString::fromLatin1(kNames[c.unicode() - 0x2400]);
}

int CControlPictures::PictureWidth(QChar c) const {
    return m_smallMetrics.horizontalAdvance(Abbreviation(c)) + 2 * (kPadding + kGap) + 2;
}

int CControlPictures::Advance(const QString& text) const {
    if (!HasPicture(text)) return m_metrics.horizontalAdvance(text);
    int nWidth = 0;
    qsizetype nRun = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (!IsPicture(text.at(i))) continue;
        nWidth += m_metrics.horizontalAdvance(text.mid(nRun, i - nRun)) + PictureWidth(text.at(i));
        nRun = i + 1;
    }
    return nWidth + m_metrics.horizontalAdvance(text.mid(nRun));
}

void CControlPictures::Draw(QPainter& painter, int x, int y, const QString& text,
                            const QColor& muted) const {
    if (!HasPicture(text)) {
        painter.drawText(x, y, text);
        return;
    }
    const QPen pen = painter.pen();
    const QFont font = painter.font();
    qsizetype nRun = 0;
    for (qsizetype i = 0; i <= text.size(); ++i) {
        if (i < text.size() && !IsPicture(text.at(i))) continue;
        const QString run = text.mid(nRun, i - nRun);
        painter.drawText(x, y, run);
        x += m_metrics.horizontalAdvance(run);
        nRun = i + 1;
        if (i == text.size()) break;
        // The box spans the text's ascent; the letters sit on the baseline.
        const int nWidth = PictureWidth(text.at(i));
        const QRect box(x + kGap, y - m_metrics.ascent() + 1, nWidth - 2 * kGap - 1,
                        m_metrics.ascent() + m_metrics.descent() - 2);
        painter.setPen(muted);
        painter.drawRect(box);
        painter.setFont(m_small);
        painter.drawText(box, Qt::AlignCenter, Abbreviation(text.at(i)));
        painter.setFont(font);
        painter.setPen(pen);
        x += nWidth;
    }
}

}  // namespace Platform
