// udp::FixedQueue: a first-in, first-out queue of at most N records held in
// place.
//
// The send queue is bounded by design, so its storage is too: records are
// copied into a fixed ring and nothing is allocated per datagram (a deque of
// 1 KiB records takes one heap block per record).
//
// Threads: none of its own; the owner guards every call with its lock.
#pragma once

#include <array>
#include <cstddef>

namespace udp {

template <class T, size_t N>
class FixedQueue {
public:
    static_assert(N > 0, "a queue holds at least one record");

    bool empty() const { return m_nCount == 0; }
    size_t size() const { return m_nCount; }
    bool full() const { return m_nCount == N; }

    // False (and nothing changed) when the queue is full.
    bool push_back(const T& value) {
        if (full()) {
            return false;
        }
        m_arrItem[(m_nHead + m_nCount) % N] = value;
        ++m_nCount;
        return true;
    }

    // Precondition for both: not empty.
    const T& front() const { return m_arrItem[m_nHead]; }
    void pop_front() {
        m_nHead = (m_nHead + 1) % N;
        --m_nCount;
    }

private:
    std::array<T, N> m_arrItem{};
    size_t m_nHead = 0;
    size_t m_nCount = 0;
};

}  // namespace udp
