#include "CWindowImpl.h"

#include <QAbstractEventDispatcher>

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "CWindowChannel.h"

namespace Platform {
namespace {

// Windows that can exist at once in the process.
constexpr std::uint32_t kMaxWindows = 1024;

// First number handed out by RegisterWindowMessage, as on the desktop it replaces.
constexpr UINT kFirstRegisteredMessage = 0xC000;

// One place in the table of windows. A handle names a slot and the generation of the window
// that held it, so a handle outlives its window harmlessly: PostMessage compares the
// generation before it touches the channel, and DestroyWindow waits for the posts already
// past that test before the channel closes its descriptor.
struct CSlot {
    std::atomic<std::uint32_t> m_nLive{0};   // generation of the window here; 0 when none
    std::atomic<std::uint32_t> m_nUsers{0};  // posts running on this slot
    CWindowChannel* m_pChannel = nullptr;    // valid while m_nLive is set
    // Guarded by g_mutex:
    std::uint32_t m_nGeneration = 0;  // last generation handed out here
    const CString* m_pClassName = nullptr;
    bool m_bTaken = false;
};

// All constant-initialised, so windows may be used during static initialisation.
CSlot g_slots[kMaxWindows];
std::mutex g_mutex;
std::uint32_t g_nNextSlot = 0;  // slots are taken round-robin, so reuse comes late

std::set<CString>& ClassNames() {
    static std::set<CString> s_names;
    return s_names;
}

HWND MakeHandle(std::uint32_t nSlot, std::uint32_t nGeneration) {
    return HWND{(std::uint64_t{nGeneration} << 32) | (nSlot + 1)};
}

// The slot a handle names, or null for a handle no window ever had.
CSlot* FindSlot(HWND hWnd, std::uint32_t& nGeneration) {
    const auto nSlot = static_cast<std::uint32_t>(hWnd.value) - 1;
    nGeneration = static_cast<std::uint32_t>(hWnd.value >> 32);
    if (nSlot >= kMaxWindows || nGeneration == 0) return nullptr;
    return &g_slots[nSlot];
}

HWND Register(CWindowChannel* pChannel, const char* className) {
    std::lock_guard<std::mutex> lock(g_mutex);
    for (std::uint32_t i = 0; i < kMaxWindows; ++i) {
        const std::uint32_t nSlot = (g_nNextSlot + i) % kMaxWindows;
        CSlot& slot = g_slots[nSlot];
        if (slot.m_bTaken) continue;
        g_nNextSlot = nSlot + 1;
        if (++slot.m_nGeneration == 0) ++slot.m_nGeneration;
        slot.m_bTaken = true;
        slot.m_pClassName = &*ClassNames().insert(QString::fromUtf8(className)).first;
        slot.m_pChannel = pChannel;
        slot.m_nLive.store(slot.m_nGeneration);
        return MakeHandle(nSlot, slot.m_nGeneration);
    }
    return HWND{};
}

// Owning thread. Once this returns no post reaches the channel any more.
void Unregister(HWND hWnd) {
    std::uint32_t nGeneration;
    CSlot* pSlot = FindSlot(hWnd, nGeneration);
    if (!pSlot) return;
    pSlot->m_nLive.store(0);
    // A post that read the old generation holds m_nUsers for one ring append and one write.
    while (pSlot->m_nUsers.load() != 0) std::this_thread::yield();
    std::lock_guard<std::mutex> lock(g_mutex);
    pSlot->m_pChannel = nullptr;
    pSlot->m_pClassName = nullptr;
    pSlot->m_bTaken = false;
}

}  // namespace

UINT RegisterWindowMessage(const CString& name) {
    if (name.isEmpty()) return 0;
    static std::mutex s_mutex;
    static std::map<CString, UINT> s_numbers;
    std::lock_guard<std::mutex> lock(s_mutex);
    const auto it = s_numbers.find(name);
    if (it != s_numbers.end()) return it->second;
    const auto nMessage = static_cast<UINT>(kFirstRegisteredMessage + s_numbers.size());
    s_numbers.emplace(name, nMessage);
    return nMessage;
}

bool PostMessage(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    std::uint32_t nGeneration;
    CSlot* pSlot = FindSlot(hWnd, nGeneration);
    if (!pSlot) return false;
    // Sequentially consistent on both sides: either DestroyWindow sees this user and waits,
    // or this post sees the cleared generation and leaves the channel alone.
    pSlot->m_nUsers.fetch_add(1);
    const bool bPosted =
        pSlot->m_nLive.load() == nGeneration && pSlot->m_pChannel->Push({message, wParam, lParam});
    pSlot->m_nUsers.fetch_sub(1);
    return bPosted;
}

bool IsWindow(HWND hWnd) {
    std::uint32_t nGeneration;
    const CSlot* pSlot = FindSlot(hWnd, nGeneration);
    return pSlot && pSlot->m_nLive.load() == nGeneration;
}

CString GetClassName(HWND hWnd) {
    std::uint32_t nGeneration;
    const CSlot* pSlot = FindSlot(hWnd, nGeneration);
    if (!pSlot) return CString();
    std::lock_guard<std::mutex> lock(g_mutex);
    return pSlot->m_nLive.load() == nGeneration ? *pSlot->m_pClassName : CString();
}

bool IsWindowClassRegistered(const CString& className) {
    std::lock_guard<std::mutex> lock(g_mutex);
    return ClassNames().count(className) != 0;
}

CWindowImpl::CWindowImpl() : m_hWnd() {}

CWindowImpl::~CWindowImpl() { DestroyWindow(); }

HWND CWindowImpl::Create(const char* className) {
    if (m_spChannel) return m_hWnd;
    // The notifier that delivers needs an event loop on this thread.
    if (!QAbstractEventDispatcher::instance()) return HWND{};
    auto spChannel = std::make_shared<CWindowChannel>(this);
    if (!spChannel->IsOpen()) return HWND{};
    const HWND hWnd = Register(spChannel.get(), className ? className : "");
    if (!hWnd) return HWND{};
    m_spChannel = std::move(spChannel);
    m_hWnd = hWnd;
    return m_hWnd;
}

void CWindowImpl::DestroyWindow() {
    if (!m_spChannel) return;
    Unregister(m_hWnd);
    m_spChannel->Close();
    m_spChannel.reset();
    m_hWnd = HWND{};
}

LRESULT CWindowImpl::DefWindowProc(UINT, WPARAM, LPARAM) { return 0; }

void CWindowImpl::Dispatch(UINT message, WPARAM wParam, LPARAM lParam) {
    LRESULT lResult = 0;
    if (!ProcessWindowMessage(message, wParam, lParam, lResult)) {
        DefWindowProc(message, wParam, lParam);
    }
}

}  // namespace Platform
