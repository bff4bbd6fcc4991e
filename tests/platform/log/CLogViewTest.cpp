#include "CLogView.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QWheelEvent>
#include <string>

#include "CLogFilter.h"
#include "TimeText.h"

namespace {

using Platform::CLogView;
using Position = CLogView::CPosition;

// One block a line, each a millisecond after the last.
std::list<Platform::CTimedLines> Lines(int nFirst, int nCount) {
    std::list<Platform::CTimedLines> lines;
    for (int i = nFirst; i < nFirst + nCount; ++i)
        lines.push_back({1'700'000'000'000 + i, "127.0.0.1:" + std::to_string(40000 + i % 1000) +
                                                    " -> message " + std::to_string(i)});
    return lines;
}

// A view on screen (offscreen platform), 300 x 200 pixels.
struct CShownView {
    explicit CShownView(const Platform::CLogStore::CLimits& limits = {}) : view(limits) {
        view.resize(300, 200);
        view.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&view));
    }
    void Paint() { view.viewport()->repaint(); }
    CLogView view;
};

TEST(CLogViewTest, PaintsOnlyTheRowsInSightWhateverTheLogHolds) {
    CShownView shown;
    CLogView& view = shown.view;
    for (int i = 0; i < 100; ++i) view.AppendLines(Lines(i * 1000, 1000));
    // A line longer than any screen, and short ones after it.
    view.AppendLine(std::string(8u << 20, 'L'));
    view.AppendLines(Lines(100000, 10));
    shown.Paint();
    EXPECT_EQ(view.LineCount(), 100012u);
    EXPECT_LE(view.PaintedRows(), view.VisibleRows() + 1);
    EXPECT_GT(view.PaintedRows(), 0);
    EXPECT_EQ(view.TopRow() + view.VisibleRows(), view.LineCount());
    EXPECT_EQ(view.horizontalScrollBar()->maximum() > 8000000, true);
    // The last line is where the painter puts it.
    const QRect last = view.PositionRect(Position{view.LineCount() - 1, 0});
    EXPECT_TRUE(view.viewport()->rect().contains(last.topLeft()));
    EXPECT_EQ(view.PositionAt(last.center() + QPoint(0, 0)).nLine, view.LineCount() - 1);
    // Scrolled far right into the long line, a row still reads only its slice.
    const std::uint64_t nLong = view.LineCount() - 11;
    ASSERT_EQ(view.LineLength(nLong), 8u << 20);
    view.EnsureVisible(nLong);
    view.horizontalScrollBar()->setValue(4000000);
    shown.Paint();
    EXPECT_LE(view.PaintedRows(), view.VisibleRows() + 1);
    const QRect longRow = view.PositionRect(Position{nLong, 4000000});
    EXPECT_EQ(view.PositionAt(QPoint(1, longRow.center().y())), (Position{nLong, 4000000}));
}

TEST(CLogViewTest, FollowsTheEndAndHoldsStillWhileScrolledAwayOrSelecting) {
    CShownView shown;
    CLogView& view = shown.view;
    view.AppendLines(Lines(0, 500));
    EXPECT_TRUE(view.IsFollowing());
    EXPECT_EQ(view.TopRow() + view.VisibleRows(), view.LineCount());

    // The operator scrolls up: new lines do not move the view.
    QTest::keyClick(&view, Qt::Key_PageUp);
    EXPECT_FALSE(view.IsFollowing());
    const std::uint64_t nHeld = view.TopRow();
    view.AppendLines(Lines(500, 100));
    EXPECT_EQ(view.TopRow(), nHeld);

    // End goes back and follows again.
    QTest::keyClick(&view, Qt::Key_End);
    EXPECT_TRUE(view.IsFollowing());
    view.AppendLine("after end");
    EXPECT_EQ(view.TopRow() + view.VisibleRows(), view.LineCount());

    // A selection made with the mouse holds the view and survives appends.
    const QRect row = view.PositionRect(Position{view.LineCount() - 3, 0});
    QTest::mousePress(view.viewport(), Qt::LeftButton, {}, row.center());
    QTest::mouseMove(view.viewport(), row.center() + QPoint(60, 0));
    QTest::mouseRelease(view.viewport(), Qt::LeftButton, {}, row.center() + QPoint(60, 0));
    ASSERT_TRUE(view.HasSelection());
    EXPECT_FALSE(view.IsFollowing());
    const std::string selected = view.SelectedText(1000);
    const std::uint64_t nTop = view.TopRow();
    view.AppendLines(Lines(600, 1000));
    EXPECT_EQ(view.TopRow(), nTop);
    EXPECT_EQ(view.SelectedText(1000), selected);

    // Scrolling to the bottom follows again; the selection stays.
    view.verticalScrollBar()->triggerAction(QAbstractSlider::SliderToMaximum);
    EXPECT_TRUE(view.IsFollowing());
    view.AppendLines(Lines(1600, 10));
    EXPECT_EQ(view.TopRow() + view.VisibleRows(), view.LineCount());
    EXPECT_EQ(view.SelectedText(1000), selected);
}

TEST(CLogViewTest, AMousePressHoldsTheRowsItWasPressedOnWhileLinesArrive) {
    CShownView shown;
    CLogView& view = shown.view;
    view.AppendLines(Lines(0, 500));
    shown.Paint();
    const QPoint pressed = view.PositionRect(Position{view.LineCount() - 3, 0}).center();
    const std::uint64_t nPressed = view.PositionAt(pressed).nLine;
    QTest::mousePress(view.viewport(), Qt::LeftButton, {}, pressed);
    EXPECT_FALSE(view.IsFollowing());
    // Lines keep coming while the button is held, frames pass, and only then the drag.
    for (int i = 0; i < 5; ++i) {
        view.AppendLines(Lines(500 + i * 100, 100));
        QTest::qWait(20);
    }
    QTest::mouseMove(view.viewport(), pressed + QPoint(60, 0));
    QTest::mouseRelease(view.viewport(), Qt::LeftButton, {}, pressed + QPoint(60, 0));
    EXPECT_EQ(view.Anchor().nLine, nPressed);
    EXPECT_EQ(view.Caret().nLine, nPressed);
    EXPECT_TRUE(view.HasSelection());
}

TEST(CLogViewTest, ScrollBarsCatchUpWithinAFrameAndAreNeverHeldBlank) {
    CShownView shown;
    CLogView& view = shown.view;
    for (int i = 0; i < 50; ++i) view.AppendLines(Lines(i * 100, 100));
    EXPECT_TRUE(view.verticalScrollBar()->updatesEnabled());
    EXPECT_TRUE(view.horizontalScrollBar()->updatesEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(view.verticalScrollBar()->maximum(),
                              static_cast<int>(view.LineCount()) - view.VisibleRows(), 5000);
    EXPECT_EQ(view.verticalScrollBar()->value(), view.verticalScrollBar()->maximum());
    EXPECT_TRUE(view.IsFollowing());
}

TEST(CLogViewTest, DoubleClickSelectsAWordTripleClickTheLineAndPicturesHitWhereDrawn) {
    CShownView shown;
    CLogView& view = shown.view;
    view.AppendLine("alpha beta_2, gamma");
    // ESC, LF and DEL pictures between letters.
    view.AppendLine(
        "a\xE2\x90\x9B"
        "b\xE2\x90\x8A"
        "c\xE2\x90\xA1");
    // On the right half of the "t": the word is the one under the point.
    const QRect t = view.PositionRect(Position{1, 8});
    const QPoint beta(view.PositionRect(Position{1, 9}).x() - 1, t.center().y());
    QTest::mouseDClick(view.viewport(), Qt::LeftButton, {}, beta);
    EXPECT_EQ(view.SelectedText(100), "beta_2");
    QTest::mousePress(view.viewport(), Qt::LeftButton, {}, beta);
    QTest::mouseRelease(view.viewport(), Qt::LeftButton, {}, beta);
    EXPECT_EQ(view.SelectedText(100), "alpha beta_2, gamma");
    // A double-click on the comma takes the comma alone.
    QTest::qWait(QApplication::doubleClickInterval() + 50);
    QTest::mouseDClick(view.viewport(), Qt::LeftButton, {},
                       view.PositionRect(Position{1, 12}).topLeft() + QPoint(1, 2));
    EXPECT_EQ(view.SelectedText(100), ",");

    // Each picture is wider than a letter, and a point on it hits it.
    const std::uint64_t columns[] = {0, 1, 4, 5, 8, 9, 12};
    for (std::size_t i = 0; i + 1 < std::size(columns); ++i) {
        const QRect at = view.PositionRect(Position{2, columns[i]});
        const QRect next = view.PositionRect(Position{2, columns[i + 1]});
        if (columns[i + 1] - columns[i] == 3)
            EXPECT_GT(next.x() - at.x(), 2 * view.fontMetrics().averageCharWidth()) << i;
        EXPECT_EQ(view.PositionAt(QPoint(at.x() + 1, at.center().y())), (Position{2, columns[i]}))
            << i;
    }
    view.SetSelection(Position{2, 0}, Position{2, 12});
    EXPECT_EQ(view.SelectedText(100),
              "a\xE2\x90\x9B"
              "b\xE2\x90\x8A"
              "c\xE2\x90\xA1");
}

TEST(CLogViewTest, ZoomKeysAndTheWheelStayWithinBounds) {
    CShownView shown;
    CLogView& view = shown.view;
    view.AppendLines(Lines(0, 100));
    const qreal fStart = view.font().pointSizeF();
    QTest::keyClick(&view, Qt::Key_Plus, Qt::ControlModifier);
    EXPECT_EQ(view.font().pointSizeF(), fStart + 1);
    for (int i = 0; i < 100; ++i) QTest::keyClick(&view, Qt::Key_Plus, Qt::ControlModifier);
    EXPECT_EQ(view.font().pointSizeF(), CLogView::kMaxPoints);
    for (int i = 0; i < 100; ++i) QTest::keyClick(&view, Qt::Key_Minus, Qt::ControlModifier);
    EXPECT_EQ(view.font().pointSizeF(), CLogView::kMinPoints);
    QTest::keyClick(&view, Qt::Key_0, Qt::ControlModifier);
    EXPECT_EQ(view.font().pointSizeF(), fStart);

    const std::uint64_t nTop = view.TopRow();
    QWheelEvent wheel(QPointF(10, 10), view.viewport()->mapToGlobal(QPointF(10, 10)), QPoint(),
                      QPoint(0, 120), Qt::NoButton, Qt::ControlModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(view.viewport(), &wheel);
    EXPECT_EQ(view.font().pointSizeF(), fStart + 1);
    // Still at the end, with fewer rows in sight.
    EXPECT_TRUE(view.IsFollowing());
    EXPECT_EQ(view.TopRow() + view.VisibleRows(), view.LineCount());
    EXPECT_GT(view.TopRow(), nTop);
}

TEST(CLogViewTest, CtrlSAsksWhereToSaveTheLog) {
    int nAsked = 0;
    CLogView::SetSaveFileNameScript([&](QWidget*) {
        ++nAsked;
        return QString();
    });
    CShownView shown;
    shown.view.AppendLine("one");
    QTest::keyClick(&shown.view, Qt::Key_S, Qt::ControlModifier);
    CLogView::SetSaveFileNameScript(nullptr);
    EXPECT_EQ(nAsked, 1);
    EXPECT_FALSE(shown.view.IsSaving());
}

TEST(CLogViewTest, KeyboardSelectionCopyAndTheCopyGuard) {
    CShownView shown;
    CLogView& view = shown.view;
    view.AppendLine("first \xC3\xA9t\xC3\xA9");  // "first été"
    view.AppendLine("second");
    // Read-only: typing changes nothing.
    QTest::keyClicks(&view, QStringLiteral("typed"));
    EXPECT_EQ(view.Text(), QStringLiteral("\nfirst été\nsecond"));

    view.SetSelection(Position{1, 6}, Position{1, 6});
    QTest::keyClick(&view, Qt::Key_Right, Qt::ShiftModifier);
    QTest::keyClick(&view, Qt::Key_Right, Qt::ShiftModifier);
    EXPECT_EQ(view.SelectedText(100), "\xC3\xA9t");  // whole characters
    QTest::keyClick(&view, Qt::Key_Down, Qt::ShiftModifier);
    // With the times shown, only a line whose start is selected gets its time; hidden, the
    // text alone.
    QTest::keyClick(&view, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(),
              QStringLiteral("été\n") +
                  QString::fromStdString(Platform::TimeText::Stamp(view.Store().LineTime(1))) +
                  QStringLiteral("second"));
    view.SetShowTimes(false);
    QTest::keyClick(&view, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("été\nsecond"));

    QTest::keyClick(&view, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(&view, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("\nfirst été\nsecond"));

    // Past the limit the text is cut on a character boundary and the cut is reported.
    bool bCut = false;
    EXPECT_EQ(view.SelectedText(9, &bCut), "\nfirst ");
    EXPECT_TRUE(bCut);
    EXPECT_EQ(view.SelectedText(100, &bCut), "\nfirst \xC3\xA9t\xC3\xA9\nsecond");
    EXPECT_FALSE(bCut);
}

TEST(CLogViewTest, FindSearchesTheWholeStoreBothWaysInSlices) {
    Platform::CLogStore::CLimits limits;
    limits.nMemoryBudget = 3u << 20;  // most of the log lives in the spill file
    CShownView shown(limits);
    CLogView& view = shown.view;
    view.AppendLine("needle at the start");
    for (int i = 0; i < 40; ++i) view.AppendLines(Lines(i * 5000, 5000));
    view.AppendLine("needle at the end");
    QTRY_VERIFY_WITH_TIMEOUT(!view.Store().NeedsSpill(), 30000);

    QSignalSpy spy(&view, &CLogView::searchFinished);
    view.ShowFind();
    ASSERT_TRUE(view.findChild<QLineEdit*>(QStringLiteral("findEdit"))->isVisible());
    // From the caret at the top, forward.
    view.Find(QStringLiteral("needle"), false);
    QTRY_VERIFY_WITH_TIMEOUT(!view.IsSearching(), 30000);
    ASSERT_EQ(spy.count(), 1);
    EXPECT_TRUE(spy.takeFirst().at(0).toBool());
    EXPECT_EQ(view.Anchor(), (Position{1, 0}));
    EXPECT_EQ(view.Caret(), (Position{1, 6}));
    // Backward from there wraps round to the last line.
    view.Find(QStringLiteral("needle"), true);
    QTRY_VERIFY_WITH_TIMEOUT(!view.IsSearching(), 30000);
    EXPECT_EQ(view.Anchor(), (Position{view.LineCount() - 1, 0}));
    EXPECT_FALSE(view.IsFollowing());
    // A message in the middle, forward from the end, wrapping.
    view.Find(QStringLiteral("message 123456"), false);
    QTRY_VERIFY_WITH_TIMEOUT(!view.IsSearching(), 30000);
    EXPECT_EQ(view.Anchor().nLine, 123456u + 2);
    EXPECT_EQ(view.LineText(view.Anchor().nLine), "127.0.0.1:40456 -> message 123456");
    view.Find(QStringLiteral("absent"), false);
    QTRY_VERIFY_WITH_TIMEOUT(!view.IsSearching(), 30000);
    EXPECT_FALSE(spy.last().at(0).toBool());
}

TEST(CLogViewTest, SaveLogAsStreamsEveryLineWithLf) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("saved.log"));
    CLogView::SetSaveFileNameScript([&](QWidget*) { return path; });
    CShownView shown;
    CLogView& view = shown.view;
    view.AppendLine("one\r\ntwo");
    view.AppendLines(Lines(0, 200000));
    QSignalSpy spy(&view, &CLogView::saveFinished);
    view.SaveLogAs();
    EXPECT_TRUE(view.IsSaving());
    // Lines that come while saving are not waited for.
    view.AppendLine("later");
    QTRY_VERIFY_WITH_TIMEOUT(!view.IsSaving(), 30000);
    CLogView::SetSaveFileNameScript(nullptr);
    ASSERT_EQ(spy.count(), 1);
    EXPECT_EQ(spy.first().at(0).toString(), QString());

    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray saved = file.readAll();
    // Each line after its own time, across the blocks the save reads.
    std::string expected;
    for (std::uint64_t nLine = view.FirstKeptLine(); nLine + 1 < view.LineCount(); ++nLine)
        expected += Platform::TimeText::Stamp(view.Store().LineTime(nLine - 1)) +
                    view.LineText(nLine) + '\n';
    EXPECT_TRUE(saved.toStdString() == expected);
    EXPECT_TRUE(saved.endsWith("-> message 199999\n"));
    EXPECT_EQ(saved.count('\n'), 200002);
    EXPECT_FALSE(saved.contains('\r'));
}

TEST(CLogViewTest, ClearLogEndsTheSaveAndStartsAfresh) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("saved.log"));
    Platform::CLogStore::CLimits limits;
    limits.nMemoryBudget = 3u << 20;  // chunks in the spill file and on their way there
    CShownView shown(limits);
    CLogView& view = shown.view;
    for (int i = 0; i < 40; ++i) view.AppendLines(Lines(i * 5000, 5000));
    view.SetSelection(Position{5, 0}, Position{7, 3});
    QSignalSpy saved(&view, &CLogView::saveFinished);
    QSignalSpy cleared(&view, &CLogView::cleared);
    ASSERT_TRUE(view.SaveTo(path));

    QAction* pClear = view.findChild<QAction*>(QStringLiteral("logClear"));
    ASSERT_NE(pClear, nullptr);
    EXPECT_EQ(pClear->text(), QStringLiteral("Cl&ear Log"));
    pClear->trigger();
    EXPECT_EQ(cleared.count(), 1);
    EXPECT_FALSE(view.IsSaving());
    ASSERT_EQ(saved.count(), 1);
    EXPECT_EQ(saved.first().at(0).toString(), QStringLiteral("cancelled"));
    EXPECT_FALSE(QFile::exists(path));
    EXPECT_EQ(view.LineCount(), 1u);
    EXPECT_EQ(view.Text(), QString());
    EXPECT_FALSE(view.HasSelection());
    EXPECT_TRUE(view.IsFollowing());
    EXPECT_EQ(view.Store().MemoryBytes(), 0u);

    view.AppendLines(Lines(0, 2));
    EXPECT_EQ(view.Text(), QStringLiteral("\n127.0.0.1:40000 -> message 0\n"
                                          "127.0.0.1:40001 -> message 1"));
    shown.Paint();
    EXPECT_EQ(view.PositionAt(QPoint(1, 1)).nLine, 0u);
}

TEST(CLogViewTest, LinesTheDiskRefusedAreCountedOnTheFirstRow) {
    Platform::CLogStore::CLimits limits;
    limits.nMemoryBudget = 4u << 20;
    CShownView shown(limits);
    CLogView& view = shown.view;
    view.AppendLines(Lines(0, 5000));
    view.SetSelection(Position{1, 0}, Position{1, 3});
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 1u << 20;  // the spill file's writes fail as on a full disk
    setrlimit(RLIMIT_FSIZE, &small);
    for (int i = 1; i < 40; ++i) view.AppendLines(Lines(i * 5000, 5000));
    QTRY_VERIFY_WITH_TIMEOUT(!view.Store().NeedsSpill(), 30000);
    setrlimit(RLIMIT_FSIZE, &saved);

    const std::uint64_t nDropped = view.Store().DroppedLines();
    ASSERT_GT(nDropped, 0u);
    EXPECT_EQ(view.HeaderText(),
              QStringLiteral("%1 earlier lines dropped: File too large").arg(nDropped));
    EXPECT_TRUE(view.Text(200).startsWith(view.HeaderText() + QLatin1Char('\n')));
    // The selection on a released line moved to the first kept one; the rest is intact.
    EXPECT_EQ(view.Anchor().nLine, view.FirstKeptLine());
    EXPECT_EQ(view.LineText(view.LineCount() - 1), "127.0.0.1:40999 -> message 199999");
    view.verticalScrollBar()->triggerAction(QAbstractSlider::SliderToMinimum);
    EXPECT_EQ(view.TopRow(), 0u);
    shown.Paint();
    EXPECT_EQ(view.PositionAt(QPoint(1, 1)).nLine, 0u);
}

TEST(CLogViewTest, AFilterShowsOnlyTheMatchingLinesToEveryReaderAndEndsWhereItWas) {
    QTemporaryDir dir;
    Platform::CLogStore::CLimits limits;
    limits.nMemoryBudget = 3u << 20;  // most of the log lives in the spill file
    CShownView shown(limits);
    CLogView& view = shown.view;
    std::vector<std::string> all;
    const auto append = [&](std::list<Platform::CTimedLines> lines) {
        for (const auto& line : lines) all.push_back(line.text);
        view.AppendLines(std::move(lines));
    };
    // A line of several scan blocks with the text in its middle, and one without it.
    append({{0, std::string(3u << 19, 'x') + "message 1234" + std::string(3u << 19, 'y')},
            {0, std::string(3u << 20, 'z')}});
    for (int i = 0; i < 40; ++i) append(Lines(i * 5000, 5000));
    QTRY_VERIFY_WITH_TIMEOUT(!view.Store().NeedsSpill(), 30000);

    QSignalSpy finished(&view, &CLogView::filterFinished);
    view.ShowFilter();
    auto* pEdit = view.findChild<QLineEdit*>(QStringLiteral("logFilterEdit"));
    ASSERT_TRUE(pEdit != nullptr && pEdit->isVisible());
    EXPECT_EQ(pEdit->accessibleName(), QStringLiteral("Filter"));
    QTest::keyClicks(pEdit, QStringLiteral("message 1234"));
    QTest::keyClick(pEdit, Qt::Key_Return);
    // Before the scan gets to the end, and once it is there.
    append({{0, "late message 1234 one"}, {0, "late message 99"}});
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 30000);
    append({{0, "late message 1234 two"}});
    std::string expected;
    std::vector<std::string> shownLines;
    for (const std::string& line : all)
        if (line.find("message 1234") != std::string::npos) {
            expected += "\n" + line;
            shownLines.push_back(line);
        }
    ASSERT_EQ(shownLines.size(), 1u + 111u + 2u);
    EXPECT_EQ(view.RowCount(), shownLines.size() + 1);
    EXPECT_EQ(view.Text().toStdString(), expected);
    EXPECT_EQ(view.findChild<QLabel*>(QStringLiteral("logFilterCount"))->text(),
              QStringLiteral("114 of 200005 lines"));

    // The accessible text holds the shown lines alone, and offsets map both ways.
    QAccessibleTextInterface* pText = QAccessible::queryAccessibleInterface(&view)->textInterface();
    const QString text = QString::fromStdString(expected);
    EXPECT_EQ(pText->characterCount(), text.size());
    EXPECT_EQ(pText->text(0, -1), text);
    const int nSecond = static_cast<int>(text.indexOf(QStringLiteral("127.0.0.1:40234")));
    EXPECT_EQ(pText->text(nSecond - 3, nSecond + 5), text.mid(nSecond - 3, 8));
    pText->setCursorPosition(nSecond + 4);
    EXPECT_EQ(view.Caret(), (Position{view.RowToLine(2), 4}));
    EXPECT_EQ(pText->cursorPosition(), nSecond + 4);

    // Keys, Copy and Select All pass over the hidden lines (times hidden here; the times
    // of shown lines are saved below).
    view.SetShowTimes(false);
    view.SetSelection(Position{view.RowToLine(2), 0}, Position{view.RowToLine(2), 0});
    QTest::keyClick(&view, Qt::Key_Down, Qt::ShiftModifier);
    QTest::keyClick(&view, Qt::Key_End, Qt::ShiftModifier);
    QTest::keyClick(&view, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text().toStdString(),
              shownLines[1] + "\n" + shownLines[2]);
    QTest::keyClick(&view, Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(view.SelectedText(SIZE_MAX), expected);

    // Find lands on shown lines only, both ways.
    view.SetSelection(Position{0, 0}, Position{0, 0});
    view.Find(QStringLiteral("message 1"), false);
    QTRY_VERIFY_WITH_TIMEOUT(!view.IsSearching(), 30000);
    EXPECT_EQ(view.Anchor().nLine, view.RowToLine(1));
    view.Find(QStringLiteral("-> message 12"), true);
    QTRY_VERIFY_WITH_TIMEOUT(!view.IsSearching(), 30000);
    EXPECT_EQ(view.LineText(view.Anchor().nLine), "127.0.0.1:40499 -> message 123499");

    // Save Log As writes the shown lines, each after its time while times are shown.
    const QString path = dir.filePath(QStringLiteral("filtered.log"));
    ASSERT_TRUE(view.SaveTo(path));
    QTRY_VERIFY_WITH_TIMEOUT(!view.IsSaving(), 30000);
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll().toStdString(), expected.substr(1) + "\n");
    file.close();
    view.SetShowTimes(true);
    std::string stamped;
    for (std::uint64_t nRow = 1; nRow < view.RowCount(); ++nRow) {
        const std::uint64_t nLine = view.RowToLine(nRow);
        stamped += Platform::TimeText::Stamp(view.Store().LineTime(nLine - 1)) +
                   view.LineText(nLine) + "\n";
    }
    ASSERT_TRUE(view.SaveTo(path));
    QTRY_VERIFY_WITH_TIMEOUT(!view.IsSaving(), 30000);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll().toStdString(), stamped);

    // Escape shows every line again, the line on top still on top.
    view.SetSelection(Position{0, 0}, Position{0, 0});
    const std::uint64_t nTopLine = view.RowToLine(view.TopRow());
    ASSERT_GT(view.TopRow(), 0u);
    QTest::keyClick(pEdit, Qt::Key_Escape);
    EXPECT_EQ(view.ActiveFilter(), nullptr);
    EXPECT_FALSE(pEdit->isVisible());
    EXPECT_EQ(view.RowCount(), view.LineCount());
    EXPECT_EQ(view.RowToLine(view.TopRow()), nTopLine);

    // Clear Log keeps a filter on for the lines that come next.
    view.Filter(QStringLiteral("keep"));
    view.Clear();
    append({{0, "drop"}, {0, "keep this"}});
    QTRY_VERIFY_WITH_TIMEOUT(view.ActiveFilter() != nullptr && !view.ActiveFilter()->IsScanning(),
                             30000);
    EXPECT_EQ(view.Text(), QStringLiteral("\nkeep this"));
}

TEST(CLogViewTest, AssistiveTechnologyReadsTextCaretAndSelection) {
    CShownView shown;
    CLogView& view = shown.view;
    view.AppendLine("first");
    view.AppendLine(
        "s\xC3\xA9"
        "cond");
    QAccessibleInterface* pLog = QAccessible::queryAccessibleInterface(&view);
    ASSERT_NE(pLog, nullptr);
    EXPECT_EQ(pLog->role(), QAccessible::EditableText);
    EXPECT_TRUE(pLog->state().multiLine);
    EXPECT_TRUE(pLog->state().readOnly);
    EXPECT_FALSE(pLog->state().editable);
    QAccessibleTextInterface* pText = pLog->textInterface();
    ASSERT_NE(pText, nullptr);
    EXPECT_EQ(pText->characterCount(), 13);
    EXPECT_EQ(pText->text(0, -1), QStringLiteral("\nfirst\nsécond"));
    EXPECT_EQ(pText->text(3, 10), QStringLiteral("rst\nséc"));

    int nStart = 0;
    int nEnd = 0;
    EXPECT_EQ(pText->textAtOffset(9, QAccessible::LineBoundary, &nStart, &nEnd),
              QStringLiteral("sécond"));
    EXPECT_EQ(nStart, 7);
    EXPECT_EQ(nEnd, 13);
    EXPECT_EQ(pText->textBeforeOffset(9, QAccessible::LineBoundary, &nStart, &nEnd),
              QStringLiteral("first\n"));

    // Selection and caret go both ways, in characters, across the two-byte é.
    pText->setSelection(0, 4, 10);
    EXPECT_EQ(view.SelectedText(100),
              "st\ns\xC3\xA9"
              "c");
    pText->selection(0, &nStart, &nEnd);
    EXPECT_EQ(nStart, 4);
    EXPECT_EQ(nEnd, 10);
    EXPECT_EQ(pText->cursorPosition(), 10);
    pText->removeSelection(0);
    EXPECT_EQ(pText->selectionCount(), 0);
    view.SetSelection(Position{2, 3}, Position{2, 3});  // after "sé"
    EXPECT_EQ(pText->cursorPosition(), 9);

    // Points and characters agree.
    const QRect rect = pText->characterRect(8);
    EXPECT_EQ(pText->offsetAtPoint(rect.topLeft() + QPoint(1, rect.height() / 2)), 8);

    // Deep in a line longer than several chunks, a range reads only what it asks for, and
    // offsets inside a four-byte character map to it.
    std::string longLine(3u << 20, 'a');
    longLine += "\xF0\x9F\x98\x80tail";
    view.AppendLine(longLine);
    const int nCount = pText->characterCount();
    const QString emojiTail = QString::fromUtf8("\xF0\x9F\x98\x80tail");
    EXPECT_EQ(pText->text(nCount - 6, nCount), emojiTail);
    EXPECT_EQ(pText->text(nCount - 5, nCount - 3), emojiTail.mid(1, 2));
    pText->setCursorPosition(nCount - 4);
    EXPECT_EQ(view.Caret(), (Position{3, (3u << 20) + 4}));
    EXPECT_EQ(pText->cursorPosition(), nCount - 4);
}

}  // namespace
