#include "CLogSave.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QProgressDialog>
#include <QTimer>
#include <algorithm>
#include <string>
#include <vector>

#include "TimeText.h"

namespace Platform {

namespace {

// Bytes read from the store and written per step of a save.
constexpr std::size_t kSaveBlock = 1u << 20;

}  // namespace

struct CLogSave::CSave {
    QFile file;
    std::uint64_t nNext = 0;
    std::uint64_t nEnd = 0;
    std::uint64_t nTotal = 0;
    // Under a filter, the rows it shows, [nNext, nEnd), rather than bytes.
    bool bRows = false;
    std::vector<char> buffer;
    // With the times shown: the next line to stamp, a block with its stamps, and the last
    // stamp made (the lines of a block share their time).
    bool bTimes = false;
    std::uint64_t nLine = 0;
    std::string stamped;
    std::int64_t nStampTime = 0;
    std::string stamp;
    QProgressDialog* pProgress = nullptr;
    QTimer timer;
};

CLogSave::CLogSave(CLogView& view) : m_view(view) {}

CLogSave::~CLogSave() = default;

void CLogSave::SaveLogAs(const CLogView::SaveFileNameScript& script) {
    const QString path =
        script ? script(&m_view)
               : QFileDialog::getSaveFileName(&m_view, tr("Save Log As"), QString(),
                                              tr("Log files (*.log *.txt);;All files (*)"));
    if (path.isEmpty()) return;
    if (!SaveTo(path)) Warn(tr("Cannot write %1").arg(path));
}

bool CLogSave::SaveTo(const QString& path) {
    if (m_pSave != nullptr) return false;
    auto pSave = std::make_unique<CSave>();
    pSave->file.setFileName(path);
    if (!pSave->file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    const CLogStore& store = m_view.Store();
    if (store.DroppedLines() > 0)
        pSave->file.write((m_view.HeaderText() + QLatin1Char('\n')).toUtf8());
    // The lines there are now; later ones are not waited for.
    pSave->bRows = m_view.ActiveFilter() != nullptr;
    pSave->nNext = pSave->bRows ? 1 : store.FirstByte();
    pSave->nEnd = pSave->bRows ? m_view.RowCount() : store.EndByte();
    pSave->nTotal = pSave->nEnd - pSave->nNext;
    pSave->buffer.resize(kSaveBlock);
    pSave->bTimes = m_view.ShowsTimes();
    pSave->nLine = store.FirstLine();
    pSave->pProgress = new QProgressDialog(tr("Saving the log..."), tr("Cancel"), 0, 1000, &m_view);
    pSave->pProgress->setObjectName(QStringLiteral("saveProgress"));
    pSave->pProgress->setWindowModality(Qt::NonModal);
    pSave->pProgress->setMinimumDuration(500);
    pSave->pProgress->setAutoReset(false);
    pSave->pProgress->setAutoClose(false);
    connect(pSave->pProgress, &QProgressDialog::canceled, this, &CLogSave::Cancel);
    pSave->timer.setSingleShot(true);
    connect(&pSave->timer, &QTimer::timeout, this, &CLogSave::SaveSlice);
    m_pSave = std::move(pSave);
    m_pSave->timer.start(0);
    return true;
}

void CLogSave::SaveSlice() {
    CSave& save = *m_pSave;
    const CLogStore& store = m_view.Store();
    QElapsedTimer elapsed;
    elapsed.start();
    while (save.bRows && save.nNext < save.nEnd &&
           elapsed.elapsed() < CLogView::kSliceMilliseconds) {
        // A filter scanned again (lines dropped) has fewer rows.
        save.nEnd = std::min(save.nEnd, m_view.RowCount());
        std::string lines;
        while (save.nNext < save.nEnd && lines.size() < kSaveBlock) {
            const std::uint64_t nLine = m_view.RowToLine(save.nNext++);
            if (save.bTimes) lines += StampOf(save, nLine - 1);
            lines += m_view.LineText(nLine);
            lines += '\n';
        }
        if (save.file.write(lines.data(), static_cast<qint64>(lines.size())) !=
            static_cast<qint64>(lines.size())) {
            EndSave(save.file.errorString());
            return;
        }
    }
    while (!save.bRows && save.nNext < save.nEnd &&
           elapsed.elapsed() < CLogView::kSliceMilliseconds) {
        // Lines the disk refused meanwhile are skipped.
        save.nNext = std::max(save.nNext, store.FirstByte());
        if (save.nNext >= save.nEnd) break;
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(kSaveBlock, save.nEnd - save.nNext));
        if (!store.Read(save.nNext, save.buffer.data(), n)) continue;
        std::string_view block(save.buffer.data(), n);
        if (save.bTimes) block = Stamped(save, block);
        const auto nWrite = static_cast<qint64>(block.size());
        if (save.file.write(block.data(), nWrite) != nWrite) {
            EndSave(save.file.errorString());
            return;
        }
        save.nNext += n;
    }
    if (save.nNext < save.nEnd) {
        save.pProgress->setValue(static_cast<int>((save.nTotal - (save.nEnd - save.nNext)) * 1000 /
                                                  std::max<std::uint64_t>(1, save.nTotal)));
        save.timer.start(0);
        return;
    }
    save.file.close();
    EndSave(save.file.error() == QFileDevice::NoError ? QString() : save.file.errorString());
}

const std::string& CLogSave::StampOf(CSave& save, std::uint64_t nLine) const {
    const std::int64_t nTime = m_view.Store().LineTime(nLine);
    if (save.stamp.empty() || nTime != save.nStampTime) {
        save.stamp = TimeText::Stamp(nTime);
        save.nStampTime = nTime;
    }
    return save.stamp;
}

std::string_view CLogSave::Stamped(CSave& save, std::string_view block) const {
    const CLogStore& store = m_view.Store();
    save.nLine = std::max(save.nLine, store.FirstLine());
    save.stamped.clear();
    std::size_t nDone = 0;
    for (; save.nLine < store.LineCount(); ++save.nLine) {
        const std::uint64_t nStart = store.LineStart(save.nLine);
        if (nStart >= save.nNext + block.size()) break;
        const auto nAt = static_cast<std::size_t>(nStart - save.nNext);
        save.stamped.append(block.substr(nDone, nAt - nDone));
        save.stamped += StampOf(save, save.nLine);
        nDone = nAt;
    }
    save.stamped.append(block.substr(nDone));
    return save.stamped;
}

void CLogSave::Cancel() {
    if (m_pSave == nullptr) return;
    m_pSave->file.remove();
    EndSave(tr("cancelled"));
}

void CLogSave::OnRowsReset() {
    if (m_pSave == nullptr || !m_pSave->bRows) return;
    m_pSave->file.remove();
    EndSave(tr("the filter changed while saving"));
}

void CLogSave::EndSave(const QString& error) {
    std::unique_ptr<CSave> pSave = std::move(m_pSave);
    pSave->pProgress->deleteLater();
    if (!error.isEmpty() && error != tr("cancelled"))
        Warn(tr("Cannot write %1: %2").arg(pSave->file.fileName(), error));
    emit finished(error);
}

void CLogSave::Warn(const QString& text) {
    auto* pBox =
        new QMessageBox(QMessageBox::Warning, tr("Save Log As"), text, QMessageBox::Ok, &m_view);
    pBox->setAttribute(Qt::WA_DeleteOnClose);
    pBox->open();
}

}  // namespace Platform
