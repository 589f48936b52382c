// The authentication key: its file checks, the HMAC exchange, and the
// lock-out of peers that fail too often.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "AuthKey.h"
#include "AuthLockout.h"
#include "TempDir.h"

using namespace Orlo;

namespace {

const std::string KEY_TEXT(64, 'k');

TEST(AuthKeyTest, HmacSha256MatchesRfc4231) {
    // RFC 4231, test case 2.
    AuthKey key = AuthKey::FromBytes("Jefe");
    std::string data = "what do ya want for nothing?";
    AuthKey::Digest digest;
    ASSERT_TRUE(key.Sign(reinterpret_cast<const uint8_t*>(data.data()), data.size(), digest));
    EXPECT_EQ(AuthKey::ToHex(digest.data(), digest.size()),
              "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
}

TEST(AuthKeyTest, OnlyTheRightKeyAnswersThisNonce) {
    AuthKey key = AuthKey::FromBytes(KEY_TEXT), other = AuthKey::FromBytes(std::string(64, 'o'));
    std::vector<uint8_t> nonce(AuthKey::NONCE_BYTES), next(AuthKey::NONCE_BYTES);
    ASSERT_TRUE(AuthKey::RandomBytes(nonce.data(), nonce.size()));
    ASSERT_TRUE(AuthKey::RandomBytes(next.data(), next.size()));
    ASSERT_NE(nonce, next);
    std::string answer = key.Answer(AuthKey::ToHex(nonce.data(), nonce.size()));
    ASSERT_EQ(answer.size(), 2 * AuthKey::DIGEST_BYTES);
    EXPECT_TRUE(key.Verify(nonce, answer));
    EXPECT_FALSE(other.Verify(nonce, answer));                          // wrong key
    EXPECT_FALSE(key.Verify(next, answer));                             // replayed for a new nonce
    EXPECT_FALSE(key.Verify(nonce, answer.substr(2)));                  // too short
    EXPECT_FALSE(key.Verify(nonce, "zz" + answer.substr(2)));           // not hex
    EXPECT_FALSE(key.Verify({}, answer));                               // no challenge sent
    EXPECT_EQ(key.Answer("abc"), "");                                   // odd length
    std::string upper = answer;
    for (char& c : upper) c = static_cast<char>(toupper(c));
    EXPECT_TRUE(key.Verify(nonce, upper));
}

TEST(AuthKeyTest, KeyFileIsTheTextLessLineEndsOfAtLeast32Bytes) {
    vesktest::TempDir dir;
    std::string good = dir.Write("good.key", KEY_TEXT + "\r\n");
    std::string shortKey = dir.Write("short.key", "0123456789\n");
#ifndef _WIN32
    chmod(good.c_str(), 0600);
    chmod(shortKey.c_str(), 0600);
#endif
    AuthKey key;
    EXPECT_FALSE(AuthKey::Load(good, key));
    EXPECT_TRUE(key.Verify({1, 2, 3}, AuthKey::FromBytes(KEY_TEXT).Answer("010203")));

    Error error = AuthKey::Load(shortKey, key);
    EXPECT_EQ(error.Message(), "Authentication key file '" + shortKey +
                                   "' holds 10 bytes; a key needs at least 32 (vesk keygen FILE writes one)");
    EXPECT_TRUE(key.Empty());
    EXPECT_NE(AuthKey::Load(dir.File("missing.key"), key).Message().find("cannot be read"), std::string::npos);
}

#ifndef _WIN32
TEST(AuthKeyTest, KeyFileOthersCanReadIsRefused) {
    vesktest::TempDir dir;
    std::string path = dir.Write("open.key", KEY_TEXT);
    for (mode_t mode : {0644, 0640, 0604, 0620}) {
        chmod(path.c_str(), mode);
        AuthKey key;
        Error error = AuthKey::Load(path, key);
        char text[8];
        snprintf(text, sizeof text, "%04o", mode);
        EXPECT_EQ(error.Message(), "Authentication key file '" + path + "' is accessible by group or others (mode " +
                                       text + "); make it private with chmod 600");
        EXPECT_TRUE(key.Empty());
    }
    AuthKey key;
    EXPECT_NE(AuthKey::Load(dir.Path(), key).Message().find("not a regular file"), std::string::npos);
}

TEST(AuthKeyTest, GenerateWritesAPrivateKeyOnce) {
    vesktest::TempDir dir;
    std::string path = dir.File("new.key");
    ASSERT_FALSE(AuthKey::Generate(path));
    struct stat info;
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    std::string text = vesktest::ReadFile(path);
    EXPECT_EQ(text.size(), 2 * AuthKey::NEW_KEY_BYTES + 1);
    AuthKey key;
    EXPECT_FALSE(AuthKey::Load(path, key));
    EXPECT_NE(AuthKey::Generate(path).Message().find("exists already"), std::string::npos);
    EXPECT_EQ(vesktest::ReadFile(path), text);
}
#endif

TEST(AuthLockoutTest, FiveFailuresWithinAMinuteLockForAMinute) {
    using std::chrono::seconds;
    AuthLockout lockout;
    AuthLockout::Clock::time_point start;
    const uint32_t peer = 0x0a000001, other = 0x0a000002;
    for (int i = 0; i < 4; i++) EXPECT_FALSE(lockout.Failed(peer, start + seconds(i)));
    EXPECT_FALSE(lockout.IsLocked(peer, start + seconds(4)));
    EXPECT_TRUE(lockout.Failed(peer, start + seconds(5)));   // the one to log
    EXPECT_FALSE(lockout.Failed(peer, start + seconds(6)));  // logged once only
    EXPECT_TRUE(lockout.IsLocked(peer, start + seconds(64)));
    EXPECT_FALSE(lockout.IsLocked(other, start + seconds(10)));
    EXPECT_FALSE(lockout.IsLocked(peer, start + seconds(65)));

    // Failures further apart than the window never add up to five.
    AuthLockout slow;
    for (int i = 0; i < 10; i++) EXPECT_FALSE(slow.Failed(peer, start + seconds(16 * i)));
    EXPECT_FALSE(slow.IsLocked(peer, start + seconds(150)));
}

}  // namespace
