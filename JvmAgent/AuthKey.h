// The secret that an agent started with auth=FILE shares with its clients,
// and the challenge and response that prove a client knows it without
// sending it: the agent sends NONCE_BYTES fresh random bytes, the client
// answers with their HMAC-SHA-256 under the key, both as hex. HMAC comes
// from Nettle on Linux and from the system's BCrypt on Windows; random bytes
// from getrandom or BCryptGenRandom. Shared by the agent and vesk. Never
// throws except std::bad_alloc; holds no state beyond the key, so one object
// may serve several threads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Error.h"

namespace Orlo {

class AuthKey {
public:
    static constexpr size_t MIN_KEY_BYTES = 32;
    static constexpr size_t MAX_KEY_BYTES = 4096;
    static constexpr size_t NONCE_BYTES = 32;
    static constexpr size_t DIGEST_BYTES = 32;
    // What vesk keygen writes: this many random bytes, as hex.
    static constexpr size_t NEW_KEY_BYTES = 32;
    using Digest = std::array<uint8_t, DIGEST_BYTES>;

    AuthKey() = default;
    ~AuthKey();
    AuthKey(const AuthKey&) = default;
    AuthKey& operator=(const AuthKey&) = default;

    // The key is the file's bytes less trailing line ends: at least
    // MIN_KEY_BYTES, at most MAX_KEY_BYTES. As ssh does with private keys,
    // on Linux the file must be a regular file of this process's effective
    // user that group and others cannot access at all. The error names the
    // file, the problem and the fix; key is left empty then.
    static Error Load(const std::string& path, AuthKey& key);
    // A key of these bytes, for tests.
    static AuthKey FromBytes(const std::string& bytes);
    bool Empty() const { return key.empty(); }

    // HMAC-SHA-256 of data under the key; false when the platform's HMAC failed.
    bool Sign(const uint8_t* data, size_t length, Digest& digest) const;
    // The client's answer to a challenge given in hex: the HMAC of its bytes,
    // in hex. Empty when the challenge is not hex or signing failed.
    std::string Answer(const std::string& challengeHex) const;
    // Whether answerHex is the HMAC of nonce, compared in constant time.
    bool Verify(const std::vector<uint8_t>& nonce, const std::string& answerHex) const;

    // Bytes from the system's cryptographic generator; false when it failed.
    static bool RandomBytes(uint8_t* out, size_t length);
    // Takes the same time for every a and b of this length.
    static bool ConstantTimeEqual(const uint8_t* a, const uint8_t* b, size_t length);
    static std::string ToHex(const uint8_t* bytes, size_t length);
    // Even-length hex, either case; false for anything else.
    static bool FromHex(const std::string& hex, std::vector<uint8_t>& bytes);

#ifndef _WIN32
    // Writes a new key (NEW_KEY_BYTES random bytes as hex and a line end)
    // into a file that must not exist yet, created with mode 0600.
    static Error Generate(const std::string& path);
#endif

private:
    std::vector<uint8_t> key;
};

}  // namespace Orlo
