#include "CMessageBudget.h"

#include <algorithm>
#include <utility>

#include "CSocket.h"

namespace CNoxSocket {

CMessageBudget::CMessageBudget(std::size_t nLimit) : m_nLimit(nLimit) {}

bool CMessageBudget::Take(CSocket* pSocket, std::size_t nBytes) {
    if (m_nHeld + nBytes > m_nLimit && m_pOverdraft != pSocket) {
        if (m_pOverdraft) return false;
        // Past the budget one connection reads on: the one with the least still missing, so
        // the least memory beyond the budget frees the most soonest.
        CSocket* pNearest = pSocket;
        for (CSocket* pWaiting : m_waiting) {
            if (pWaiting->MissingBytes() < pNearest->MissingBytes()) pNearest = pWaiting;
        }
        m_pOverdraft = pNearest;
        if (pNearest != pSocket) {
            m_waiting.erase(std::find(m_waiting.begin(), m_waiting.end(), pNearest));
            pNearest->OnBudgetRoom();
            return false;
        }
    }
    m_nHeld += nBytes;
    return true;
}

void CMessageBudget::Give(CSocket* pSocket, std::size_t nBytes) {
    m_nHeld -= nBytes;
    if (m_pOverdraft == pSocket) m_pOverdraft = nullptr;
    if (m_nHeld < m_nLimit || !m_pOverdraft) WakeWaiting();
}

void CMessageBudget::Wait(CSocket* pSocket) {
    if (std::find(m_waiting.begin(), m_waiting.end(), pSocket) == m_waiting.end())
        m_waiting.push_back(pSocket);
}

void CMessageBudget::Forget(CSocket* pSocket) {
    m_waiting.erase(std::remove(m_waiting.begin(), m_waiting.end(), pSocket), m_waiting.end());
    if (m_pOverdraft == pSocket) {
        m_pOverdraft = nullptr;
        WakeWaiting();
    }
}

// Each tries again once; those that still do not fit wait anew.
void CMessageBudget::WakeWaiting() {
    std::vector<CSocket*> waiting;
    waiting.swap(m_waiting);
    for (CSocket* pSocket : waiting) pSocket->OnBudgetRoom();
}

}  // namespace CNoxSocket
