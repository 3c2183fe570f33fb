// The TLS stream against a real OpenSSL client over a socket pair, both ends
// non-blocking and stepped in turn on this thread.
#include "platform/tls.h"

#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <regex>

#include <gtest/gtest.h>

namespace {

using platform::TlsStatus;

class TlsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        std::signal(SIGPIPE, SIG_IGN);  // as the programs do
        dir = std::filesystem::temp_directory_path() / ("lumbra_tls_" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
        pem = (dir / "tls.pem").string();
        std::string error;
        ASSERT_TRUE(platform::GenerateCertificateFile(pem, "scan-pc", {"127.0.0.1", "192.168.0.7"}, error))
            << error;
    }
    static void TearDownTestSuite() { std::filesystem::remove_all(dir); }

    void TearDown() override
    {
        SSL_free(client);
        SSL_CTX_free(clientCtx);
        ::close(fds[0]);
        ::close(fds[1]);
    }

    // A client (at most maxVersion) on one end, the server's stream on the other.
    std::unique_ptr<platform::TlsStream> Connect(const platform::TlsServerContext& server, int maxVersion,
                                                 SSL_SESSION* resume = nullptr)
    {
        if (!clientCtx) {
            clientCtx = SSL_CTX_new(TLS_client_method());
            SSL_CTX_set_security_level(clientCtx, 0);
            SSL_CTX_set_min_proto_version(clientCtx, TLS1_VERSION);
            SSL_CTX_set_cipher_list(clientCtx, "DEFAULT:@SECLEVEL=0");
        }
        SSL_CTX_set_max_proto_version(clientCtx, maxVersion);
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
        client = SSL_new(clientCtx);
        SSL_set_fd(client, fds[0]);
        SSL_set_connect_state(client);
        if (resume)
            SSL_set_session(client, resume);
        return std::make_unique<platform::TlsStream>(server, fds[1]);
    }

    // Steps both ends until the server's handshake has ended either way.
    TlsStatus Handshake(platform::TlsStream& stream)
    {
        TlsStatus status = TlsStatus::WantRead;
        for (int turn = 0; turn < 50 && (status == TlsStatus::WantRead || status == TlsStatus::WantWrite); ++turn) {
            SSL_do_handshake(client);
            status = stream.Handshake();
        }
        return status;
    }

    std::unique_ptr<platform::TlsServerContext> Load(bool legacy)
    {
        std::string error;
        auto context = platform::TlsServerContext::Load(pem, pem, legacy, error);
        EXPECT_TRUE(context) << error;
        return context;
    }

    static inline std::filesystem::path dir;
    static inline std::string pem;
    SSL_CTX* clientCtx = nullptr;
    SSL* client = nullptr;
    int fds[2] = {-1, -1};
};

TEST_F(TlsTest, GeneratedFileIsPrivateAndNamesTheHostAndAddresses)
{
    EXPECT_EQ(std::filesystem::status(pem).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    auto context = Load(false);
    ASSERT_TRUE(context);
    EXPECT_TRUE(std::regex_match(context->Fingerprint(), std::regex("([0-9A-F]{2}:){31}[0-9A-F]{2}")));
    auto stream = Connect(*context, TLS1_3_VERSION);
    ASSERT_EQ(Handshake(*stream), TlsStatus::Done);
    X509* seen = SSL_get1_peer_certificate(client);
    ASSERT_TRUE(seen);
    EXPECT_EQ(X509_check_host(seen, "scan-pc", 0, 0, nullptr), 1);
    EXPECT_EQ(X509_check_ip_asc(seen, "192.168.0.7", 0), 1);
    EXPECT_EQ(EVP_PKEY_get_bits(X509_get0_pubkey(seen)), 2048);
    X509_free(seen);
}

// Bytes flow both ways whole; the session ends with close_notify both ways;
// a second connection resumes the first one's session.
TEST_F(TlsTest, StreamCarriesBytesAnswersCloseNotifyAndResumes)
{
    auto context = Load(false);
    auto stream = Connect(*context, TLS1_3_VERSION);
    ASSERT_EQ(Handshake(*stream), TlsStatus::Done);
    const std::string sent(100000, 'x');
    std::string received;
    char buffer[65536];
    for (size_t offset = 0, turn = 0; received.size() < sent.size() && turn < 1000; ++turn) {
        size_t written = 0;
        if (offset < sent.size() && SSL_write_ex(client, sent.data() + offset, sent.size() - offset, &written))
            offset += written;
        size_t done = 0;
        if (stream->Read(buffer, sizeof buffer, done) == TlsStatus::Done)
            received.append(buffer, done);
    }
    EXPECT_EQ(received, sent);
    size_t done = 0;
    ASSERT_EQ(stream->Write("226", 3, done), TlsStatus::Done);
    EXPECT_EQ(SSL_read(client, buffer, sizeof buffer), 3);

    SSL_shutdown(client);
    EXPECT_EQ(stream->Read(buffer, sizeof buffer, done), TlsStatus::Closed);
    stream->Shutdown();  // as the socket answers a close
    EXPECT_EQ(SSL_shutdown(client), 1) << "the server's close_notify came back";
    SSL_SESSION* session = SSL_get1_session(client);
    SSL_free(client);
    ::close(fds[0]);
    ::close(fds[1]);
    auto second = Connect(*context, TLS1_3_VERSION, session);
    SSL_SESSION_free(session);
    ASSERT_EQ(Handshake(*second), TlsStatus::Done);
    EXPECT_TRUE(second->SessionReused());
}

TEST_F(TlsTest, EndsAndVersionsAreTold)
{
    auto modern = Load(false);
    auto legacy = Load(true);
    struct Case {
        const char* what;
        const platform::TlsServerContext* server;
        int clientVersion;
        TlsStatus handshake;
        const char* afterwards;  // what the client does after the handshake
        TlsStatus read;
    } cases[] = {
        {"a bare TCP end is a clean end", modern.get(), TLS1_2_VERSION, TlsStatus::Done, "close", TlsStatus::Closed},
        {"garbage is a failure", modern.get(), TLS1_3_VERSION, TlsStatus::Done, "garbage", TlsStatus::Failed},
        {"TLS 1.0 is refused by default", modern.get(), TLS1_VERSION, TlsStatus::Failed, "", TlsStatus::Failed},
        {"TLS 1.0 is served when allowed", legacy.get(), TLS1_VERSION, TlsStatus::Done, "close", TlsStatus::Closed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto stream = Connect(*c.server, c.clientVersion);
        ASSERT_EQ(Handshake(*stream), c.handshake);
        if (std::string(c.afterwards) == "garbage") {
            ASSERT_EQ(::write(fds[0], "\x17\x03\x03\x00\x05hello", 10), 10);
        }
        ::shutdown(fds[0], SHUT_WR);
        char buffer[64];
        size_t done = 0;
        EXPECT_EQ(stream->Read(buffer, sizeof buffer, done), c.read);
        stream->Shutdown();  // harmless in every state
        TearDown();
        client = nullptr;
        clientCtx = nullptr;
        fds[0] = fds[1] = -1;
    }
}

// Generating and checking in a child process (as lumbra-ftpd does) gives
// what the work in place gives: a private file, a context that serves, and
// every bad file reported by Load itself, before any client.
TEST_F(TlsTest, WorkInAChildMatchesWorkInPlace)
{
    const std::string garbage = (dir / "garbage.pem").string();
    ASSERT_EQ(::close(::open(garbage.c_str(), O_WRONLY | O_CREAT, 0600)), 0);
    for (bool apart : {false, true}) {
        SCOPED_TRACE(apart ? "in a child" : "in place");
        platform::DoCertificateWorkInChildProcess(apart);
        const std::string other = (dir / (apart ? "apart.pem" : "here.pem")).string();
        std::string error;
        ASSERT_TRUE(platform::GenerateCertificateFile(other, "scan-pc", {}, error)) << error;
        EXPECT_EQ(std::filesystem::status(other).permissions(),
                  std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
        auto context = platform::TlsServerContext::Load(other, other, false, error);
        ASSERT_TRUE(context) << error;
        EXPECT_TRUE(std::regex_match(context->Fingerprint(), std::regex("([0-9A-F]{2}:){31}[0-9A-F]{2}")));
        EXPECT_EQ(context->CertificatePem().rfind("-----BEGIN CERTIFICATE-----\n", 0), 0u);
        auto stream = Connect(*context, TLS1_3_VERSION);
        EXPECT_EQ(Handshake(*stream), TlsStatus::Done);
        TearDown();
        client = nullptr;
        clientCtx = nullptr;
        const struct {
            std::string cert, key, error;
        } bad[] = {
            {garbage, pem, "cannot load the certificate " + garbage},
            {pem, garbage, "cannot load the key " + garbage + " for the certificate"},
            {pem, other, "cannot load the key " + other + " for the certificate"},  // another's key
            {pem, other + ".gone", "cannot load the key " + other + ".gone: No such file"},
        };
        for (const auto& c : bad) {
            error.clear();
            EXPECT_FALSE(platform::TlsServerContext::Load(c.cert, c.key, false, error));
            EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
        }
    }
    platform::DoCertificateWorkInChildProcess(false);
}

}  // namespace
