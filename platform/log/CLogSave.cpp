#include "CLogSave.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QProgressDialog>
#include <QTimer>
#include <algorithm>
#include <vector>

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
            lines += m_view.LineText(m_view.RowToLine(save.nNext++));
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
        if (save.file.write(save.buffer.data(), static_cast<qint64>(n)) != static_cast<qint64>(n)) {
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
