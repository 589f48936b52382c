#include "AuthLockout.h"

namespace Orlo {

constexpr std::chrono::seconds AuthLockout::WINDOW;
constexpr std::chrono::seconds AuthLockout::LOCK_TIME;

bool AuthLockout::IsLocked(uint32_t peer, Clock::time_point now) {
    std::lock_guard<std::mutex> guard(lock);
    auto found = peers.find(peer);
    return found != peers.end() && now < found->second.lockedUntil;
}

bool AuthLockout::Failed(uint32_t peer, Clock::time_point now) {
    std::lock_guard<std::mutex> guard(lock);
    auto found = peers.find(peer);
    if (found == peers.end()) {
        if (peers.size() >= MAX_PEERS) Forget(now);
        if (peers.size() >= MAX_PEERS) return false;
        found = peers.emplace(peer, Peer()).first;
    }
    Peer& entry = found->second;
    if (now < entry.lockedUntil) return false;
    while (!entry.failures.empty() && entry.failures.front() + WINDOW <= now) entry.failures.pop_front();
    entry.failures.push_back(now);
    if (entry.failures.size() < static_cast<size_t>(MAX_FAILURES)) return false;
    entry.failures.clear();
    entry.lockedUntil = now + LOCK_TIME;
    return true;
}

void AuthLockout::Forget(Clock::time_point now) {
    for (auto it = peers.begin(); it != peers.end();) {
        const Peer& entry = it->second;
        bool stale = now >= entry.lockedUntil && (entry.failures.empty() || entry.failures.back() + WINDOW <= now);
        it = stale ? peers.erase(it) : std::next(it);
    }
}

}  // namespace Orlo
