#pragma once

#include "CDialog.h"

// Sets the scripted operator of modal dialogs for one test and removes it afterwards, so a
// test never blocks in a dialog's event loop.
class ScopedModalScript {
public:
    explicit ScopedModalScript(Platform::CDialog::ModalScript script) {
        Platform::CDialog::SetModalScript(std::move(script));
    }
    ~ScopedModalScript() { Platform::CDialog::SetModalScript(nullptr); }
    ScopedModalScript(const ScopedModalScript&) = delete;
    ScopedModalScript& operator=(const ScopedModalScript&) = delete;
};
