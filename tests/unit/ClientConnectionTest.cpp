// ClientConnection and VeskSocket over a real loopback connection.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include <zstd.h>

#include "ClientConnection.h"
#include "FrameCompressor.h"
#include "JavaProcess.h"
#include "StringBuffer.h"
#include "VeskServerThread.h"
#include "VeskSocket.h"

using namespace Orlo;

namespace {

class LoopbackTest : public ::testing::Test {
protected:
    void SetUp() override {
        VeskSocket::Initialize();
        listener = std::make_unique<VeskSocket>(SOCK_STREAM, AF_INET);
        port = vesktest::FreePort();
        ASSERT_TRUE(listener->Bind(port, "127.0.0.1")) << listener->GetError();
        ASSERT_TRUE(listener->Listen());
        peer = std::make_unique<VeskSocket>(SOCK_STREAM, AF_INET);
        ASSERT_TRUE(peer->Connect("127.0.0.1", port)) << peer->GetError();
        connection = listener->Accept();
        ASSERT_NE(connection, nullptr);
    }

    void PeerSend(const std::string& bytes) {
        int count = 0;
        ASSERT_TRUE(peer->Write(bytes.data(), static_cast<int>(bytes.size()), &count));
        ASSERT_EQ(count, static_cast<int>(bytes.size()));
        WaitReadable(*connection);
    }

    static void WaitReadable(VeskSocket& socket) {
        bool readable = false;
        timeval wait{5, 0};
        ASSERT_TRUE(socket.Select(&readable, nullptr, nullptr, &wait));
        ASSERT_TRUE(readable);
    }

    // Everything the connection sent, read until `expected` bytes arrived.
    std::string PeerReceive(size_t expected) {
        std::string received;
        char chunk[4096];
        while (received.size() < expected) {
            WaitReadable(*peer);
            int count = 0;
            if (!peer->Read(chunk, sizeof chunk, &count) || count == 0) break;
            received.append(chunk, count);
        }
        return received;
    }

    int port = 0;
    std::unique_ptr<VeskSocket> listener, peer;
    std::unique_ptr<ClientConnection> connection;
};

TEST_F(LoopbackTest, FrameCarriesTagAndBodyByteForByte) {
    StringBuffer body(16);
    body.Append("X");
    connection->ReturnResponse(body, "7");
    const std::string frame = "<vesk-resp tag=\"7\">X</vesk-resp>\n";
    EXPECT_EQ(PeerReceive(frame.size()), frame);

    // A body spread over several segments arrives whole and in order.
    StringBuffer large(16, 16);
    std::string text;
    for (int i = 0; i < 100; i++) text += "<r n=\"" + std::to_string(i) + "\"/>";
    large.Append(text.c_str());
    connection->ReturnResponse(large, "12");
    std::string expected = "<vesk-resp tag=\"12\">" + text + "</vesk-resp>\n";
    EXPECT_EQ(PeerReceive(expected.size()), expected);
}

TEST_F(LoopbackTest, TagWithMarkupIsEscapedInTheFrame) {
    StringBuffer body;
    body.Append("B");
    connection->ReturnResponse(body, "a\"><x>&");
    const std::string frame = "<vesk-resp tag=\"a&quot;&gt;&lt;x&gt;&amp;\">B</vesk-resp>\n";
    EXPECT_EQ(PeerReceive(frame.size()), frame);
}

// Base64 text back to bytes, up to the padding.
std::string FromBase64(const std::string& text) {
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string bytes;
    uint32_t bits = 0;
    int held = 0;
    for (size_t i = 0; i < text.size() && alphabet.find(text[i]) != std::string::npos; i++) {
        bits = bits << 6 | static_cast<uint32_t>(alphabet.find(text[i]));
        held += 6;
        if (held >= 8) bytes.push_back(static_cast<char>(bits >> (held -= 8) & 0xFF));
    }
    return bytes;
}

std::string Unzstd(const std::string& packed, size_t capacity) {
    std::string plain(capacity, '\0');
    size_t size = ZSTD_decompress(&plain[0], plain.size(), packed.data(), packed.size());
    if (ZSTD_isError(size)) return std::string("zstd error: ") + ZSTD_getErrorName(size);
    plain.resize(size);
    return plain;
}

// What a compressing agent sends: each frame compressed whole into one zstd
// frame that decodes on its own to the plain frame; a heap dump's frames,
// whose bytes are compressed already, are only marked.
TEST_F(LoopbackTest, CompressedFramesDecodeEachOnItsOwnToThePlainFrame) {
    std::string text;
    for (int i = 0; text.size() < (1u << 20); i++)
        text += "<ref tag=\"" + std::to_string(i * 7) + "\" reftag=\"" + std::to_string(i) + "\" kind=\"3\"/>";
    StringBuffer body(65536, 65536);
    body.Append(text.c_str());
    FrameCompressor compressor(FrameCompressor::DEFAULT_LEVEL);
    StringBuffer packed(1024, 1024, StringBuffer::GROW_DOUBLING);
    uint64_t plainBytes = 0;
    for (const char* tag : {"a<b", "2"}) {
        connection->ReturnCompressedResponse(body, tag, compressor, packed);
        std::string head = std::string("<vesk-resp tag=\"") + (tag[0] == 'a' ? "a&lt;b" : tag) + "\"";
        std::string start = head + " encoding=\"zstd\"><zstd>", end = "</zstd></vesk-resp>\n";
        std::string frame = PeerReceive(start.size() + packed.Size() - 13 + end.size());
        ASSERT_EQ(frame.rfind(start, 0), 0u) << frame.substr(0, 80);
        ASSERT_EQ(frame.substr(frame.size() - end.size()), end);
        std::string zstd = FromBase64(frame.substr(start.size(), frame.size() - start.size() - end.size()));
        EXPECT_LT(zstd.size(), text.size() / 10);
        std::string plain = head + ">" + text + "</vesk-resp>\n";
        EXPECT_EQ(Unzstd(zstd, plain.size() + 1024), plain) << tag;
        plainBytes += plain.size();
    }
    EXPECT_EQ(compressor.PlainBytes(), plainBytes);

    StringBuffer dump;
    dump.Append("D");
    connection->ReturnResponse(dump, "7", true);
    const std::string marked = "<vesk-resp tag=\"7\" encoding=\"zstd\">D</vesk-resp>\n";
    EXPECT_EQ(PeerReceive(marked.size()), marked);
}

TEST_F(LoopbackTest, RejectSendsTheExactRejectFrame) {
    connection->Reject("Connection rejected: Exceeded maximum number of concurrent connections (1)");
    const std::string frame =
        "<vesk-resp tag=\"0\"><cmd name=\"REJECT\"><status value=\"0\"/><error msg=\"Connection "
        "rejected: Exceeded maximum number of concurrent connections (1)\"/></cmd><last "
        "value=\"1\"/></vesk-resp>\n";
    EXPECT_EQ(PeerReceive(frame.size()), frame);
}

TEST(FormatErrorResponse, EscapesNameAndMessageAndEndsTheRequest) {
    StringBuffer plain;
    ClientConnection::FormatErrorResponse("SNAPSHOT", "a%sb", plain);
    StringBuffer unknown;
    ClientConnection::FormatErrorResponse("x\"<y", "Unknown command: x\"<y", unknown);
    FILE* out = tmpfile();
    plain.Write(out);
    fputc('|', out);
    unknown.Write(out);
    rewind(out);
    char text[512] = {};
    size_t n = fread(text, 1, sizeof text - 1, out);
    fclose(out);
    EXPECT_EQ(std::string(text, n),
              "<cmd name=\"SNAPSHOT\"><status value=\"0\"/><error msg=\"a%sb\"/></cmd><last value=\"1\"/>|"
              "<cmd name=\"x&quot;&lt;y\"><status value=\"0\"/><error msg=\"Unknown command: "
              "x&quot;&lt;y\"/></cmd><last value=\"1\"/>");
}

TEST_F(LoopbackTest, ReadRequestTrimsLineEndsAndTerminates) {
    char buffer[64];
    memset(buffer, 'Q', sizeof buffer);
    PeerSend("xyz\r\n");
    EXPECT_EQ(connection->ReadRequest(buffer, sizeof buffer), 3);
    EXPECT_STREQ(buffer, "xyz");

    // Only line ends: one NUL byte, so the caller does not take it for a close.
    PeerSend("\r\n");
    EXPECT_EQ(connection->ReadRequest(buffer, sizeof buffer), 1);
    EXPECT_EQ(buffer[0], '\0');
}

TEST_F(LoopbackTest, ReadRequestNeverFillsTheLastByte) {
    char buffer[8];
    memset(buffer, 'Q', sizeof buffer);
    PeerSend("0123456789");
    EXPECT_EQ(connection->ReadRequest(buffer, sizeof buffer), 7);
    EXPECT_STREQ(buffer, "0123456");
    EXPECT_EQ(connection->ReadRequest(buffer, sizeof buffer), 3);
    EXPECT_STREQ(buffer, "789");
}

TEST_F(LoopbackTest, ReadRequestReportsTheClosedPeerAsZero) {
    peer.reset();
    char buffer[16];
    EXPECT_EQ(connection->ReadRequest(buffer, sizeof buffer), 0);
}

TEST_F(LoopbackTest, CheckForCancelWithoutDataIsFalse) {
    EXPECT_FALSE(connection->MsgPending());
    EXPECT_FALSE(connection->CheckForCancel());
}

TEST_F(LoopbackTest, AbortIsConsumedWithItsLineEndsAndStaysInForce) {
    PeerSend("<ABORT>\r\n");
    EXPECT_TRUE(connection->CheckForCancel());
    EXPECT_FALSE(connection->MsgPending()) << "all nine bytes consumed";
    EXPECT_TRUE(connection->CheckForCancel());

    PeerSend("next");
    EXPECT_TRUE(connection->CheckForCancel()) << "the flag holds until the next request";
    char buffer[32];
    EXPECT_EQ(connection->ReadRequest(buffer, sizeof buffer), 4);
    EXPECT_STREQ(buffer, "next");
    EXPECT_FALSE(connection->CheckForCancel());
}

TEST_F(LoopbackTest, ClosedPeerCancelsLikeAnAbort) {
    peer.reset();
    WaitReadable(*connection);
    EXPECT_TRUE(connection->CheckForCancel());
}

TEST_F(LoopbackTest, ResetPeerCancelsLikeAnAbort) {
    linger abortive{1, 0};  // a close that sends a reset
    ASSERT_TRUE(peer->SetOption(SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive));
    peer.reset();
    WaitReadable(*connection);
    EXPECT_TRUE(connection->CheckForCancel());
}

TEST_F(LoopbackTest, IdleTimeoutEndsAWaitForARequest) {
    connection->SetIdleTimeout(1);
    PeerSend("early");
    char buffer[16];
    EXPECT_EQ(connection->ReadRequest(buffer, sizeof buffer), 5) << "a request in time is read";
    EXPECT_EQ(connection->ReadRequest(buffer, sizeof buffer), 0) << "none for a second: closed";
}

TEST_F(LoopbackTest, AbortFollowedByARequestInOnePacketLeavesTheRequest) {
    PeerSend("<ABORT>\n\n\n<vesk-cmd tag=\"1\"/>");
    EXPECT_TRUE(connection->CheckForCancel());
    char buffer[64];
    int count = connection->ReadRequest(buffer, sizeof buffer);
    EXPECT_EQ(std::string(buffer, count), "\n<vesk-cmd tag=\"1\"/>") << "at most two line ends go";
}

TEST_F(LoopbackTest, OtherDataIsLeftForReadRequest) {
    PeerSend("<vesk-cmd tag=\"2\"/>");
    EXPECT_FALSE(connection->CheckForCancel());
    EXPECT_FALSE(connection->CheckForCancel());
    char buffer[64];
    int count = connection->ReadRequest(buffer, sizeof buffer);
    EXPECT_EQ(std::string(buffer, count), "<vesk-cmd tag=\"2\"/>");
}

TEST_F(LoopbackTest, SplitAbortIsRecognisedOnceComplete) {
    PeerSend("<ABO");
    EXPECT_FALSE(connection->CheckForCancel());
    PeerSend("RT>");
    EXPECT_TRUE(connection->CheckForCancel());
    EXPECT_FALSE(connection->MsgPending());
}

TEST_F(LoopbackTest, PeekLeavesBytesForRead) {
    PeerSend("abc");
    EXPECT_TRUE(connection->MsgPending());
    char buffer[9] = {};
    int count = 0;
    EXPECT_TRUE(connection->Peek(buffer, sizeof buffer, &count));
    EXPECT_EQ(count, 3);
    EXPECT_TRUE(connection->MsgPending());
    memset(buffer, 0, sizeof buffer);
    EXPECT_TRUE(connection->Read(buffer, sizeof buffer, &count));
    EXPECT_EQ(std::string(buffer, count), "abc");
}

TEST_F(LoopbackTest, ClosedPeerIsPendingAndReadsZero) {
    peer.reset();
    WaitReadable(*connection);
    EXPECT_TRUE(connection->MsgPending());
    char buffer[4];
    int count = -5;
    EXPECT_TRUE(connection->Read(buffer, sizeof buffer, &count));
    EXPECT_EQ(count, 0);
}

TEST_F(LoopbackTest, WritingToAVanishedPeerFailsWithoutASignal) {
    peer.reset();
    // The first sends may still be accepted; the peer's reset makes later
    // ones fail. A SIGPIPE would end this process here.
    std::string block(65536, 'x');
    bool failed = false;
    for (int i = 0; i < 200 && !failed; i++) {
        int count = 0;
        failed = !connection->Write(block.data(), static_cast<int>(block.size()), &count);
        if (failed) EXPECT_EQ(count, -1);
    }
    EXPECT_TRUE(failed);
    EXPECT_TRUE(vesktest::IsPeerGoneError(connection->GetError())) << connection->GetError();
}

TEST_F(LoopbackTest, BindingAPortInUseFailsWithAddressInUse) {
    VeskSocket second(SOCK_STREAM, AF_INET);
    EXPECT_FALSE(second.Bind(port, "127.0.0.1"));
    EXPECT_EQ(second.GetError(), vesktest::SOCKET_EADDRINUSE);
    // Listening at attach time names the address and the code.
    VeskServerThread server(port, "127.0.0.1");
    const std::string refused = server.Listen().Message();
    EXPECT_EQ(refused.rfind("cannot listen on 127.0.0.1:" + std::to_string(port) + ": ", 0), 0u) << refused;
    EXPECT_NE(refused.find("(error=" + std::to_string(vesktest::SOCKET_EADDRINUSE) + ")"), std::string::npos)
        << refused;
}

// A load into a running JVM returns once the port listens: a client that
// connects right after it is queued, before the server thread ever runs.
TEST(VeskServerThreadTest, ListenBeforeStartAcceptsConnections) {
    const int port = vesktest::FreePort();
    VeskServerThread server(port, "127.0.0.1");
    const Orlo::Error refused = server.Listen();
    ASSERT_FALSE(refused) << refused.Message();
    VeskSocket client(SOCK_STREAM, AF_INET);
    EXPECT_TRUE(client.Connect("127.0.0.1", port)) << client.GetError();
}

TEST(VeskSocketTest, BindRejectsAnAddressThatIsNotDottedIPv4) {
    VeskSocket socket(SOCK_STREAM, AF_INET);
    EXPECT_FALSE(socket.Bind(vesktest::FreePort(), "localhost"));
    EXPECT_EQ(socket.GetError(), vesktest::SOCKET_EINVAL);
}

TEST(VeskSocketTest, ConnectToANonListeningPortFails) {
    VeskSocket socket(SOCK_STREAM, AF_INET);
    EXPECT_FALSE(socket.Connect("127.0.0.1", vesktest::FreePort()));
    EXPECT_EQ(socket.GetError(), vesktest::SOCKET_ECONNREFUSED);
}

}  // namespace
