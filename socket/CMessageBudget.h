#pragma once

#include <boost/noncopyable.hpp>

#include <cstddef>
#include <vector>

namespace CNoxSocket {

class CSocket;

// The memory the connections of one service may hold for messages still arriving. Past it,
// a connection that needs more stops reading (TCP holds its client back) until room comes
// free; the one nearest to completing its message always reads on, so every message
// completes and none is dropped or cut. Worker thread only, like the connections.
class CMessageBudget : private boost::noncopyable {
public:
    explicit CMessageBudget(std::size_t nLimit);

    // The budget in bytes.
    std::size_t Limit() const { return m_nLimit; }
    // The bytes granted and not yet given back.
    std::size_t Held() const { return m_nHeld; }

    // Grants nBytes more to pSocket's unfinished message, or returns false: the caller
    // then stops reading and calls Wait.
    bool Take(CSocket* pSocket, std::size_t nBytes);
    // pSocket's unfinished message is gone (delivered, replaced or dropped) with the nBytes
    // it held; waiting connections try again when that made room.
    void Give(CSocket* pSocket, std::size_t nBytes);
    // pSocket is refused: it is resumed once room comes free.
    void Wait(CSocket* pSocket);
    // pSocket is going away: it leaves the waiting ones and gives up the overdraft.
    void Forget(CSocket* pSocket);

private:
    void WakeWaiting();

    const std::size_t m_nLimit;
    std::size_t m_nHeld = 0;
    // The one connection allowed past the budget until its message completes.
    CSocket* m_pOverdraft = nullptr;
    std::vector<CSocket*> m_waiting;
};

}  // namespace CNoxSocket
