#pragma once

#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/tss.hpp>

#include <cstdint>
#include <list>

#include "CNoxReferConst.h"
#include "CNoxReferInner.h"
#include "CString.h"
#include "CWindowImpl.h"

namespace Nox {

// Lets any thread have OnSignal run soon on the thread that constructed the object, from that
// thread's event loop. Posts are coalesced: at most two wake-ups per object are ever queued,
// and each wake-up runs OnSignal at most once.
class CNoxPostSignalToUIThread : private boost::noncopyable {
public:
    class CInner;

    // Runs on the thread that is to run OnSignal; that thread must run a Qt event loop.
    CNoxPostSignalToUIThread();

    // Asks for a run of OnSignal. Any thread; never waits for the owning thread, never runs
    // OnSignal itself and allocates nothing.
    void Post();

    // Runs on the constructing thread, from its event loop, never inside itself.
    virtual void OnSignal() = 0;

    // Runs on the constructing thread; wake-ups still queued are discarded. Not from inside
    // this object's own OnSignal.
    virtual ~CNoxPostSignalToUIThread();

    // The inner state, for diagnostics and tests.
    CInner* GetInner() const { return m_pInner; }

    // The registered wake-up message: "class Nox::CNoxPostSignalToUIThread Message".
    static const CString& GetMessageName();
    static Platform::UINT GetMessage();

private:
    CInner* m_pInner;
};

// The signal object's state, referable so that its hidden window can tell a live entry from
// one whose object is gone.
class CNoxPostSignalToUIThread::CInner
    : public CNoxReferConst<CInner, CNoxReferInner::tagGENERIC>::CBase {
public:
    class CWindow;

    explicit CInner(CNoxPostSignalToUIThread* pOwner);
    ~CInner() override;

    // This object's own per-thread slot for a hidden window; its cleanup deletes the window.
    boost::thread_specific_ptr<CWindow> m_tspWindow;
    CNoxPostSignalToUIThread* m_pOwner;
    std::uint32_t m_nPosted;   // wake-ups queued and not yet handled; never above 2
    std::uint32_t m_nPending;  // posts not yet answered by a run of OnSignal
    boost::mutex m_mutex;      // guards m_nPosted and m_nPending only
    Platform::HWND m_hWnd;     // written before the object is shared, then only read
};

// The hidden message-only window that receives the wake-ups on the constructing thread.
class CNoxPostSignalToUIThread::CInner::CWindow : public Platform::CWindowImpl {
public:
    // One signal object this window serves. Touched only on the window's thread.
    struct CTarget {
        boost::shared_ptr<CNoxReferInner::CRef> m_ref;  // does not keep the CInner alive
        bool m_bBusy;    // its OnSignal is running from this window's handler
        bool m_bMissed;  // a wake-up arrived while it was busy and was consumed unserved
    };

    // Creates the window on the calling thread.
    CWindow();
    ~CWindow() override;

    std::list<CTarget> m_listTarget;

protected:
    bool ProcessWindowMessage(Platform::UINT message, Platform::WPARAM wParam,
                              Platform::LPARAM lParam, Platform::LRESULT& lResult) override;

private:
    Platform::LRESULT OnSignalMessage(Platform::UINT message, Platform::WPARAM wParam,
                                      Platform::LPARAM lParam);
    void RunOnSignal(CTarget& target, CInner* pInner);
};

}  // namespace Nox
