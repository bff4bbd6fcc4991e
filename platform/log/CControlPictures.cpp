#include "CControlPictures.h"

#include <QColor>
#include <QPainter>
#include <algorithm>
#include <utility>
#include <vector>

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
        small.setPointSizeF(std::max(6.0, font.pointSizeF() * 0.75));
    else
        small.setPixelSize(std::max(8, font.pixelSize() * 3 / 4));
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
    int& nWidth = m_widths[c.unicode() - 0x2400];
    if (nWidth == 0)
        nWidth = m_smallMetrics.horizontalAdvance(Abbreviation(c)) + 2 * (kPadding + kGap) + 2;
    return nWidth;
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
    // The text's runs first, then every box and its letters: one change of pen and font.
    std::vector<std::pair<int, QChar>> pictures;
    qsizetype nRun = 0;
    for (qsizetype i = 0; i <= text.size(); ++i) {
        if (i < text.size() && !IsPicture(text.at(i))) continue;
        const QString run = text.mid(nRun, i - nRun);
        painter.drawText(x, y, run);
        x += m_metrics.horizontalAdvance(run);
        nRun = i + 1;
        if (i == text.size()) break;
        pictures.emplace_back(x, text.at(i));
        x += PictureWidth(text.at(i));
    }
    const QPen pen = painter.pen();
    const QFont font = painter.font();
    painter.setPen(muted);
    painter.setFont(m_small);
    // The box spans the text's ascent and descent; the letters sit in its middle.
    const int nTop = y - m_metrics.ascent() + 1;
    const int nHeight = m_metrics.ascent() + m_metrics.descent() - 2;
    const int nBaseline =
        nTop + (nHeight + m_smallMetrics.ascent() - m_smallMetrics.descent() + 1) / 2;
    for (const auto& [nLeft, c] : pictures) {
        painter.drawRect(nLeft + kGap, nTop, PictureWidth(c) - 2 * kGap - 1, nHeight);
        painter.drawText(nLeft + kGap + 1 + kPadding, nBaseline, Abbreviation(c));
    }
    painter.setFont(font);
    painter.setPen(pen);
}

}  // namespace Platform
