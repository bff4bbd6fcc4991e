#pragma once

#include <mutex>
#include <vector>

#include "CServer.h"

// Collects the texts the worker reports, from the worker thread.
class CReports {
public:
    CServer::WorkerErrorHandler Handler() {
        return [this](const CString& text) {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_texts.push_back(text);
        };
    }
    std::vector<CString> Texts() {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_texts;
    }

private:
    std::mutex m_mutex;
    std::vector<CString> m_texts;
};
