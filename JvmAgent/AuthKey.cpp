#include "AuthKey.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#include <bcrypt.h>
#else
#include <fcntl.h>
#include <nettle/hmac.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace Orlo {

namespace {

bool IsLineEnd(uint8_t c) { return c == '\n' || c == '\r'; }

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Overwrites a secret before its memory goes back; the volatile keeps the
// compiler from dropping stores to memory about to be freed.
void Wipe(std::vector<uint8_t>& bytes) {
    volatile uint8_t* p = bytes.data();
    for (size_t i = 0; i < bytes.size(); i++) p[i] = 0;
}

Error KeyError(const std::string& path, const std::string& problem) {
    return Error("Authentication key file '" + path + "' " + problem);
}

#ifdef _WIN32

// Windows: no owner or mode check (its ACLs are another model).
Error ReadKeyFile(const std::string& path, std::vector<uint8_t>& bytes) {
    FILE* file = fopen(path.c_str(), "rb");
    if (!file) return KeyError(path, std::string("cannot be read: ") + strerror(errno));
    bytes.resize(AuthKey::MAX_KEY_BYTES + 1);
    size_t count = fread(bytes.data(), 1, bytes.size(), file);
    fclose(file);
    bytes.resize(count);
    return Error();
}

#else

Error ReadKeyFile(const std::string& path, std::vector<uint8_t>& bytes) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return KeyError(path, std::string("cannot be read: ") + strerror(errno));
    struct stat info;
    Error error;
    // Checked on the open file, so a swap after the check cannot pass.
    if (fstat(fd, &info) != 0) {
        error = KeyError(path, std::string("cannot be read: ") + strerror(errno));
    } else if (!S_ISREG(info.st_mode)) {
        error = KeyError(path, "is not a regular file");
    } else if (info.st_uid != geteuid()) {
        error = KeyError(path, "is owned by user " + std::to_string(info.st_uid) + ", not by this process's user " +
                                   std::to_string(geteuid()));
    } else if (info.st_mode & (S_IRWXG | S_IRWXO)) {
        char mode[8];
        snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
        error = KeyError(path, std::string("is accessible by group or others (mode ") + mode +
                                   "); make it private with chmod 600");
    } else {
        bytes.resize(AuthKey::MAX_KEY_BYTES + 1);
        size_t count = 0;
        while (count < bytes.size()) {
            ssize_t n = read(fd, bytes.data() + count, bytes.size() - count);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                error = KeyError(path, std::string("cannot be read: ") + strerror(errno));
                break;
            }
            if (n == 0) break;
            count += static_cast<size_t>(n);
        }
        bytes.resize(count);
    }
    close(fd);
    return error;
}

#endif

}  // namespace

AuthKey::~AuthKey() { Wipe(key); }

Error AuthKey::Load(const std::string& path, AuthKey& key) {
    Wipe(key.key);
    key.key.clear();
    std::vector<uint8_t> bytes;
    Error error = ReadKeyFile(path, bytes);
    while (!error && !bytes.empty() && IsLineEnd(bytes.back())) bytes.pop_back();
    if (!error && bytes.size() > MAX_KEY_BYTES)
        error = KeyError(path, "holds more than " + std::to_string(MAX_KEY_BYTES) + " bytes; is it a key?");
    else if (!error && bytes.size() < MIN_KEY_BYTES)
        error = KeyError(path, "holds " + std::to_string(bytes.size()) + " bytes; a key needs at least " +
                                   std::to_string(MIN_KEY_BYTES) + " (vesk keygen FILE writes one)");
    if (error) {
        Wipe(bytes);
        return error;
    }
    key.key.swap(bytes);
    return Error();
}

AuthKey AuthKey::FromBytes(const std::string& bytes) {
    AuthKey key;
    key.key.assign(bytes.begin(), bytes.end());
    return key;
}

bool AuthKey::Sign(const uint8_t* data, size_t length, Digest& digest) const {
#ifdef _WIN32
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, BCRYPT_ALG_HANDLE_HMAC_FLAG) < 0)
        return false;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool signedOk =
        BCryptCreateHash(algorithm, &hash, nullptr, 0, const_cast<PUCHAR>(key.data()),
                         static_cast<ULONG>(key.size()), 0) >= 0 &&
        BCryptHashData(hash, const_cast<PUCHAR>(data), static_cast<ULONG>(length), 0) >= 0 &&
        BCryptFinishHash(hash, digest.data(), static_cast<ULONG>(digest.size()), 0) >= 0;
    if (hash) BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(algorithm, 0);
    return signedOk;
#else
    hmac_sha256_ctx context;
    hmac_sha256_set_key(&context, key.size(), key.data());
    hmac_sha256_update(&context, length, data);
    hmac_sha256_digest(&context, digest.size(), digest.data());
    volatile uint8_t* p = reinterpret_cast<uint8_t*>(&context);
    for (size_t i = 0; i < sizeof context; i++) p[i] = 0;
    return true;
#endif
}

std::string AuthKey::Answer(const std::string& challengeHex) const {
    std::vector<uint8_t> challenge;
    Digest digest;
    if (!FromHex(challengeHex, challenge) || challenge.empty() || !Sign(challenge.data(), challenge.size(), digest))
        return "";
    return ToHex(digest.data(), digest.size());
}

bool AuthKey::Verify(const std::vector<uint8_t>& nonce, const std::string& answerHex) const {
    std::vector<uint8_t> answer;
    Digest expected;
    if (key.empty() || nonce.empty() || !FromHex(answerHex, answer) || answer.size() != expected.size()) return false;
    if (!Sign(nonce.data(), nonce.size(), expected)) return false;
    return ConstantTimeEqual(expected.data(), answer.data(), expected.size());
}

bool AuthKey::RandomBytes(uint8_t* out, size_t length) {
#ifdef _WIN32
    return BCryptGenRandom(nullptr, out, static_cast<ULONG>(length), BCRYPT_USE_SYSTEM_PREFERRED_RNG) >= 0;
#else
    size_t filled = 0;
    while (filled < length) {
        ssize_t n = getrandom(out + filled, length - filled, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        filled += static_cast<size_t>(n);
    }
    return true;
#endif
}

bool AuthKey::ConstantTimeEqual(const uint8_t* a, const uint8_t* b, size_t length) {
    volatile uint8_t difference = 0;
    for (size_t i = 0; i < length; i++) difference = difference | (a[i] ^ b[i]);
    return difference == 0;
}

std::string AuthKey::ToHex(const uint8_t* bytes, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string hex(length * 2, '0');
    for (size_t i = 0; i < length; i++) {
        hex[2 * i] = digits[bytes[i] >> 4];
        hex[2 * i + 1] = digits[bytes[i] & 15];
    }
    return hex;
}

bool AuthKey::FromHex(const std::string& hex, std::vector<uint8_t>& bytes) {
    if (hex.size() % 2 != 0) return false;
    bytes.resize(hex.size() / 2);
    for (size_t i = 0; i < bytes.size(); i++) {
        int high = HexValue(hex[2 * i]), low = HexValue(hex[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        bytes[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return true;
}

#ifndef _WIN32
Error AuthKey::Generate(const std::string& path) {
    std::vector<uint8_t> bytes(NEW_KEY_BYTES);
    if (!RandomBytes(bytes.data(), bytes.size())) return Error(std::string("no random bytes: ") + strerror(errno));
    std::string text = ToHex(bytes.data(), bytes.size()) + "\n";
    Wipe(bytes);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        if (errno == EEXIST) return Error("'" + path + "' exists already; a key is never overwritten");
        return Error("cannot create '" + path + "': " + strerror(errno));
    }
    // The mode given to open passes the umask, which can only take bits away.
    bool written = fchmod(fd, 0600) == 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    int err = errno;
    written = close(fd) == 0 && written;
    std::fill(text.begin(), text.end(), '\0');
    if (!written) {
        unlink(path.c_str());
        return Error("cannot write '" + path + "': " + strerror(err));
    }
    return Error();
}
#endif

}  // namespace Orlo
