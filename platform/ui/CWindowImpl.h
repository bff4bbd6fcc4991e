#pragma once

#include <cstdint>
#include <memory>

#include "CString.h"

namespace Platform {

using UINT = std::uint32_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

// Opaque handle of a message-only window. It is never a raw descriptor number: a handle
// of a destroyed window stays invalid even when its slot or descriptor is reused.
struct HWND {
    std::uint64_t value = 0;
    explicit operator bool() const { return value != 0; }
    friend bool operator==(HWND a, HWND b) { return a.value == b.value; }
    friend bool operator!=(HWND a, HWND b) { return a.value != b.value; }
};

// Process-wide registry of message numbers: the same name always gives the same number,
// distinct names distinct numbers. Safe during static initialisation and from any thread.
// Numbers start at 0xC000; an empty name gives 0.
UINT RegisterWindowMessage(const CString& name);

// Queues a message for the window's thread. Never blocks and never allocates; returns false
// when the window is gone or its queue is full (at least 4,096 undelivered messages fit).
bool PostMessage(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);

// True while the window exists. Any thread.
bool IsWindow(HWND hWnd);

// The class name the window was created with, as kept in the registry of window classes;
// empty once the window is gone. Any thread.
CString GetClassName(HWND hWnd);

// True once a window of this class has been created in this process.
bool IsWindowClassRegistered(const CString& className);

class CWindowChannel;

// A message-only window bound to the Qt event loop of the thread that creates it. That
// loop, nested modal loops included, delivers every posted message once, in posting order.
class CWindowImpl {
public:
    CWindowImpl();
    virtual ~CWindowImpl();
    CWindowImpl(const CWindowImpl&) = delete;
    CWindowImpl& operator=(const CWindowImpl&) = delete;

    // Creates the window on the calling thread, which must have a Qt event dispatcher;
    // className names it in the platform's registry of window classes. Returns the handle,
    // or a null handle on failure.
    HWND Create(const char* className);

    // Destroys the window; messages still queued for it are discarded. Runs on the thread
    // that created the window, also from inside one of its own messages.
    void DestroyWindow();

    HWND m_hWnd;

protected:
    // Message map: return true when the message was handled (lResult is its result).
    virtual bool ProcessWindowMessage(UINT message, WPARAM wParam, LPARAM lParam,
                                      LRESULT& lResult) = 0;

    // Default handling of messages the map does not handle.
    virtual LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam);

private:
    friend class CWindowChannel;

    // Runs one delivered message through the message map, or the default handling.
    void Dispatch(UINT message, WPARAM wParam, LPARAM lParam);

    // Shared with a delivery in progress, which may outlive DestroyWindow.
    std::shared_ptr<CWindowChannel> m_spChannel;
};

}  // namespace Platform
