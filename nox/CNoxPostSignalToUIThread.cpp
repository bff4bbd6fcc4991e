#include "CNoxPostSignalToUIThread.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <typeinfo>

namespace Nox {
namespace {

const char kWindowClassName[] = "CAsyncEventToUIThread Window";

// "class " and the qualified class name, as the desktop compiler's typeid spells it, then
// " Message". g++ spells typeid names mangled, hence the demangling.
CString BuildMessageName() {
    const char* pszMangled = typeid(CNoxPostSignalToUIThread).name();
    int nStatus = 0;
    const std::unique_ptr<char, void (*)(void*)> spDemangled(
        abi::__cxa_demangle(pszMangled, nullptr, nullptr, &nStatus), std::free);
    const char* pszName = nStatus == 0 && spDemangled ? spDemangled.get() : pszMangled;
    return QStringLiteral("class ") + QString::fromUtf8(pszName) + QStringLiteral(" Message");
}

// Registered during static initialisation, before main.
const Platform::UINT s_nRegisteredAtStart = CNoxPostSignalToUIThread::GetMessage();

}  // namespace

const CString& CNoxPostSignalToUIThread::GetMessageName() {
    static const CString s_name = BuildMessageName();
    return s_name;
}

Platform::UINT CNoxPostSignalToUIThread::GetMessage() {
    static const Platform::UINT s_nMessage = Platform::RegisterWindowMessage(GetMessageName());
    return s_nMessage;
}

CNoxPostSignalToUIThread::CNoxPostSignalToUIThread() : m_pInner(new CInner(this)) {}

CNoxPostSignalToUIThread::~CNoxPostSignalToUIThread() { delete m_pInner; }

void CNoxPostSignalToUIThread::Post() {
    bool bPost = false;
    {
        boost::mutex::scoped_lock lock(m_pInner->m_mutex);
        ++m_pInner->m_nPending;
        if (m_pInner->m_nPosted < 2) {
            ++m_pInner->m_nPosted;
            bPost = true;
        }
    }
    if (bPost) Platform::PostMessage(m_pInner->m_hWnd, GetMessage(), 0, 0);
}

CNoxPostSignalToUIThread::CInner::CInner(CNoxPostSignalToUIThread* pOwner)
    : m_pOwner(pOwner), m_nPosted(0), m_nPending(0), m_hWnd() {
    // The slot belongs to this object, so it is always empty here: every signal object gets
    // a window of its own on its constructing thread.
    if (!m_tspWindow.get()) m_tspWindow.reset(new CWindow);
    m_hWnd = m_tspWindow->m_hWnd;
    m_tspWindow->m_listTarget.push_back(CWindow::CTarget{GetRef(), false, false});
}

// Members go in reverse order: the mutex, then the slot, whose cleanup deletes this thread's
// window; the reference base clears the box last.
CNoxPostSignalToUIThread::CInner::~CInner() = default;

CNoxPostSignalToUIThread::CInner::CWindow::CWindow() { Create(kWindowClassName); }

CNoxPostSignalToUIThread::CInner::CWindow::~CWindow() {
    if (m_hWnd) DestroyWindow();
}

bool CNoxPostSignalToUIThread::CInner::CWindow::ProcessWindowMessage(Platform::UINT message,
                                                                     Platform::WPARAM wParam,
                                                                     Platform::LPARAM lParam,
                                                                     Platform::LRESULT& lResult) {
    if (message != GetMessage()) return false;
    lResult = OnSignalMessage(message, wParam, lParam);
    return true;
}

Platform::LRESULT CNoxPostSignalToUIThread::CInner::CWindow::OnSignalMessage(Platform::UINT,
                                                                             Platform::WPARAM,
                                                                             Platform::LPARAM) {
    for (auto it = m_listTarget.begin(); it != m_listTarget.end();) {
        CInner* pInner = CNoxReferConst<CInner, CNoxReferInner::tagGENERIC>::Resolve(it->m_ref);
        if (!pInner) {
            it = m_listTarget.erase(it);
            continue;
        }
        CTarget& target = *it++;
        bool bDue = false;
        {
            boost::mutex::scoped_lock lock(pInner->m_mutex);
            // Every wake-up is consumed, a busy entry's too: m_nPosted counts exactly the
            // wake-ups in the channel, so Post goes on sending while one is missing.
            if (pInner->m_nPosted > 0) --pInner->m_nPosted;
            if (!target.m_bBusy && pInner->m_nPending > 0) {
                --pInner->m_nPending;
                bDue = true;
            }
        }
        if (target.m_bBusy) {
            // A loop nested in OnSignal: never enter it twice; RunOnSignal makes up for it.
            target.m_bMissed = true;
        } else if (bDue) {
            RunOnSignal(target, pInner);
        }
    }
    return 0;
}

void CNoxPostSignalToUIThread::CInner::CWindow::RunOnSignal(CTarget& target, CInner* pInner) {
    target.m_bBusy = true;
    pInner->m_pOwner->OnSignal();
    target.m_bBusy = false;
    if (!target.m_bMissed) return;
    target.m_bMissed = false;
    // Posts made while it ran may have had their wake-ups consumed above; unless a wake-up is
    // still on its way, send one for them.
    bool bPost = false;
    {
        boost::mutex::scoped_lock lock(pInner->m_mutex);
        if (pInner->m_nPending > 0 && pInner->m_nPosted == 0) {
            ++pInner->m_nPosted;
            bPost = true;
        }
    }
    if (bPost) Platform::PostMessage(pInner->m_hWnd, GetMessage(), 0, 0);
}

}  // namespace Nox
