// Refuses a peer address that failed to authenticate too often: MAX_FAILURES
// failures within WINDOW lock it out for LOCK_TIME. Shared by the server
// thread (which asks at accept) and the client threads (which report
// failures): every method takes the lock. Remembers at most MAX_PEERS
// addresses; beyond, a new address's failures go uncounted until old ones
// expire, so a flood of addresses cannot grow the agent without bound.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>

namespace Orlo {

class AuthLockout {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int MAX_FAILURES = 5;
    static constexpr std::chrono::seconds WINDOW{60};
    static constexpr std::chrono::seconds LOCK_TIME{60};
    static constexpr size_t MAX_PEERS = 4096;

    // peer: IPv4 address in host byte order.
    bool IsLocked(uint32_t peer, Clock::time_point now);
    // Counts one failure; true when it is the one that locks the peer out
    // (the moment to log it, once).
    bool Failed(uint32_t peer, Clock::time_point now);

private:
    struct Peer {
        std::deque<Clock::time_point> failures;  // within WINDOW, oldest first
        Clock::time_point lockedUntil;
    };

    void Forget(Clock::time_point now);

    std::mutex lock;
    std::map<uint32_t, Peer> peers;
};

}  // namespace Orlo
