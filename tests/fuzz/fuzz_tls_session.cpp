// FTPS sessions driven by fuzzed bytes. As in fuzz_session a real connection
// thread serves the session, here over a loopback TCP connection with TLS
// offered or required, and the fuzzer is the client: it sends AUTH, reads the
// 234, and then, as the input says, either completes a real OpenSSL handshake
// and sends the rest of the input as commands inside TLS (serving passive data
// connections, with TLS under PROT P), or disturbs the handshake. The
// client's TLS runs on memory BIOs, so the fuzzer decides which of its bytes
// reach the wire.
//
// Input: byte 0 bits 0-2 the mode (1 the bytes in place of a ClientHello,
// 2 the bytes in clear after the handshake, 3 the client's TLS stream cut,
// 4 one byte of it flipped, else commands), bit 3 TLS required, bit 4 the
// legacy versions allowed, bits 5-6 the client's highest version, bit 7 no
// resumption (else the control connection resumes the last input's session
// and the data connection the control connection's, which spares most RSA
// signatures); byte 1 bits 0-1 the AUTH type, bits 2-7 the cut or
// flip offset / 16; then the bytes. Properties as in fuzz_session, plus: AUTH
// is answered 234, and the server answers or closes whatever the client does.
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/tls.h"
#include "server/connect_thread.h"
#include "server/ftp_server.h"
#include "session_properties.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kSessionLimit = std::chrono::seconds(30);
// Nothing heard for this long: the client stops waiting for answers (a STOR
// waiting for a data connection nobody makes, a throttled login).
constexpr auto kQuiet = std::chrono::milliseconds(20);
constexpr size_t kNowhere = SIZE_MAX;
const char* const kAuthTypes[] = {"TLS", "TLS-C", "SSL", "TLS-P"};
const int kClientVersions[] = {0, TLS1_2_VERSION, TLS1_1_VERSION, TLS1_VERSION};  // 0: the highest
const std::string kScan(3000, 's');

// The session's tree, the server with both contexts of one certificate (made
// once: RSA generation is slow), and the client's side.
struct World {
    fs::path root, tree, home;
    CVeskFTPServer server;
    ServerSettings settings;
    std::shared_ptr<const platform::TlsServerContext> modern, legacy;
    SSL_CTX* client = nullptr;
    SSL_SESSION* lastSession = nullptr;
    int listener = -1;
    sockaddr_in address{};
};

World& TheWorld()
{
    static World* world = [] {
        auto* w = new World;
        w->root = fs::temp_directory_path() / ("lumbra-fuzz-tls-" + std::to_string(::getpid()));
        fs::remove_all(w->root);
        w->tree = w->root / "tree";
        w->home = w->tree / "home";
        fs::create_directories(w->home);
        fs::create_directories(w->tree / "outside");
        std::atexit([] { fs::remove_all(TheWorld().root); });
        const std::string pem = (w->root / "tls.pem").string();
        std::string error;
        Require(platform::GenerateCertificateFile(pem, "fuzz", {"127.0.0.1"}, error), error);
        w->modern = platform::TlsServerContext::Load(pem, pem, false, error);
        w->legacy = platform::TlsServerContext::Load(pem, pem, true, error);
        Require(w->modern && w->legacy, error);
        w->settings.m_strHomePath = w->home.string();
        w->settings.m_bAnonymous = 0;
        w->settings.m_strUserID = "scan";
        w->settings.m_strPassword = "secret";
        // Any version, any suite: the server decides what it accepts.
        w->client = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_security_level(w->client, 0);
        SSL_CTX_set_min_proto_version(w->client, TLS1_VERSION);
        SSL_CTX_set_cipher_list(w->client, "DEFAULT:@SECLEVEL=0");
        w->address.sin_family = AF_INET;
        w->address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof w->address;
        w->listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        Require(::bind(w->listener, reinterpret_cast<sockaddr*>(&w->address), length) == 0 &&
                    ::listen(w->listener, 4) == 0 &&
                    ::getsockname(w->listener, reinterpret_cast<sockaddr*>(&w->address), &length) == 0,
                "the control listener");
        return w;
    }();
    return *world;
}

// A connected, non-blocking client socket to 127.0.0.1:port (a listener is
// there already, so the connect ends at once).
int ConnectTo(uint16_t port)
{
    sockaddr_in to = TheWorld().address;
    to.sin_port = htons(port);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    Require(fd >= 0, "socket");
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, O_NONBLOCK);
    return fd;
}

// One connection of the client. With `ssl` the bytes pass through the
// client's TLS engine, whose output may be cut or have a byte flipped on its
// way to the wire; `inbox` holds what the server said (decrypted).
struct Peer {
    int fd = -1;
    SSL* ssl = nullptr;
    std::string toSend;  // plain bytes to send once secured
    bool finish = false;  // then close_notify and a half-close
    std::string outbox, inbox;
    size_t tlsBytes = 0, cutAt = kNowhere, flipAt = kNowhere;
    bool closing = false, halfClosed = false, ended = false, tlsOver = false;
    Clock::time_point heard = Clock::now();

    explicit Peer(int socket) : fd(socket) {}
    ~Peer()
    {
        SSL_free(ssl);
        ::close(fd);
    }
    void StartTls(int maxVersion, SSL_SESSION* resume)
    {
        ssl = SSL_new(TheWorld().client);
        SSL_set_bio(ssl, BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
        SSL_set_connect_state(ssl);
        if (maxVersion)
            SSL_set_max_proto_version(ssl, maxVersion);
        if (resume)
            SSL_set_session(ssl, resume);
    }
    bool Secured() const { return ssl && !tlsOver && SSL_is_init_finished(ssl); }
};

void TakeTlsOutput(Peer& p)
{
    char buffer[16384];
    int n;
    while ((n = BIO_read(SSL_get_wbio(p.ssl), buffer, sizeof buffer)) > 0) {
        std::string bytes(buffer, static_cast<size_t>(n));
        if (p.flipAt >= p.tlsBytes && p.flipAt - p.tlsBytes < bytes.size())
            bytes[p.flipAt - p.tlsBytes] ^= 0x5A;
        if (p.cutAt < p.tlsBytes + bytes.size()) {
            bytes.resize(p.cutAt > p.tlsBytes ? p.cutAt - p.tlsBytes : 0);
            p.closing = true;
        }
        p.tlsBytes += static_cast<size_t>(n);
        p.outbox += bytes;
    }
}

// One non-blocking step of a connection: what is due goes out, what came in
// is read (and decrypted).
void Pump(Peer& p)
{
    if ((!p.ssl || p.Secured()) && !p.toSend.empty()) {
        size_t done = 0;
        if (p.ssl)
            SSL_write_ex(p.ssl, p.toSend.data(), p.toSend.size(), &done);  // memory BIO: all at once
        else
            p.outbox += p.toSend;
        p.toSend.clear();
    }
    if (p.finish && !p.closing && (!p.ssl || p.Secured() || p.tlsOver)) {
        if (p.Secured())
            SSL_shutdown(p.ssl);
        p.closing = true;
    }
    if (p.ssl)
        TakeTlsOutput(p);
    if (!p.outbox.empty() && !p.halfClosed) {
        const ssize_t n = ::send(p.fd, p.outbox.data(), p.outbox.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0)
            p.outbox.erase(0, static_cast<size_t>(n));
        else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            p.outbox.clear();  // the server has hung up already
    }
    if (p.closing && p.outbox.empty() && !p.halfClosed) {
        ::shutdown(p.fd, SHUT_WR);
        p.halfClosed = true;
    }
    char buffer[16384];
    while (!p.ended) {
        const ssize_t n = ::recv(p.fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (n <= 0) {
            p.ended = true;
            if (p.ssl)
                BIO_set_mem_eof_return(SSL_get_rbio(p.ssl), 0);
            break;
        }
        p.heard = Clock::now();
        if (p.ssl)
            BIO_write(SSL_get_rbio(p.ssl), buffer, static_cast<int>(n));
        else
            p.inbox.append(buffer, static_cast<size_t>(n));
    }
    if (p.ssl && !p.tlsOver) {
        size_t n = 0;
        while (SSL_read_ex(p.ssl, buffer, sizeof buffer, &n) == 1)
            p.inbox.append(buffer, n);
        const int error = SSL_get_error(p.ssl, 0);
        p.tlsOver = error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE;  // an alert or the end
        TakeTlsOutput(p);
    }
}

// The client of one input: its control connection, the passive data
// connection it opened last, and what the replies told it.
struct Client {
    std::unique_ptr<Peer> control, data;
    size_t looked = 0;  // of control->inbox: complete lines acted on
    bool protect = false;
    int maxVersion = 0;
    bool resume = false;
    size_t featuresEnds = 0;
    const Clock::time_point deadline = Clock::now() + kSessionLimit;

    void OnReply(const std::string& line)
    {
        int h[4], p1 = -1, p2 = -1, port = -1;
        const size_t open = line.find('(');
        if (line.rfind("227 ", 0) == 0 && open != std::string::npos &&
            std::sscanf(line.c_str() + open, "(%d,%d,%d,%d,%d,%d)", &h[0], &h[1], &h[2], &h[3], &p1, &p2) == 6) {
            Require(h[0] == 127 && h[1] == 0 && h[2] == 0 && h[3] == 1, "passive on another address: " + line);
            port = p1 * 256 + p2;
        }
        else if (line.rfind("229 ", 0) == 0 && open != std::string::npos)
            std::sscanf(line.c_str() + open, "(|||%d|)", &port);
        if (port > 0 && port < 65536) {
            const int fd = ConnectTo(static_cast<uint16_t>(port));
            data = fd >= 0 ? std::make_unique<Peer>(fd) : nullptr;
        } else if (line.rfind("150 ", 0) == 0 && data && !data->finish) {
            // Protection as the replies set it: the server secures the
            // transfer with the level in force when it opens.
            if (protect)
                data->StartTls(maxVersion, resume ? SSL_get0_session(control->ssl) : nullptr);
            data->toSend = kScan;
            data->finish = true;
        } else if (line == "200 Protection level set to P." || line == "200 Protection level set to C.") {
            protect = line == "200 Protection level set to P.";
        } else if (line == "211 End") {
            ++featuresEnds;
        }
    }

    void ActOnReplies()
    {
        std::string& inbox = control->inbox;
        for (size_t end; (end = inbox.find("\r\n", looked)) != std::string::npos; looked = end + 2)
            OnReply(inbox.substr(looked, end - looked));
    }

    bool Quiet() const
    {
        const auto heard = std::max(control->heard, data ? data->heard : control->heard);
        return Clock::now() - heard > kQuiet;
    }

    // Steps both connections and the main thread's events until `done` holds
    // or the server has ended the control connection.
    template <typename Done>
    void RunUntil(Done done)
    {
        for (;;) {
            Require(Clock::now() < deadline, "the session never ended");
            QCoreApplication::processEvents(QEventLoop::AllEvents);
            Pump(*control);
            if (data)
                Pump(*data);
            ActOnReplies();
            if (control->ended || done())
                return;
            pollfd wait[2] = {{control->fd, POLLIN, 0}, {data ? data->fd : -1, POLLIN, 0}};
            ::poll(wait, 2, 1);
        }
    }
};

size_t CountFeat(const std::string& bytes)
{
    size_t count = 0;
    for (size_t i = 0; i + 4 <= bytes.size(); ++i)
        count += (bytes[i] | 0x20) == 'f' && (bytes[i + 1] | 0x20) == 'e' && (bytes[i + 2] | 0x20) == 'a' &&
                 (bytes[i + 3] | 0x20) == 't';
    return count;
}

// After a handshake: the bytes in clear on the TCP stream (mode 2), or as
// commands inside TLS, with a FEAT behind them whose answer says that all
// before it has been answered; then close_notify.
void Converse(Client& c, int mode, const std::string& bytes)
{
    Peer& control = *c.control;
    if (mode == 2) {
        c.RunUntil([&] { return control.Secured() || control.tlsOver; });
        control.outbox += bytes;
        control.closing = true;
    } else {
        control.toSend = bytes + "\r\nFEAT\r\n";
        const size_t expected = CountFeat(bytes) + 1;
        c.RunUntil([&] { return c.featuresEnds >= expected || c.Quiet(); });
        control.finish = true;
    }
    c.RunUntil([] { return false; });
}

void KeepSessionForResumption(SSL* ssl)
{
    SSL_SESSION* session = ssl ? SSL_get1_session(ssl) : nullptr;
    if (!session || !SSL_SESSION_is_resumable(session)) {
        SSL_SESSION_free(session);
        return;
    }
    SSL_SESSION_free(TheWorld().lastSession);
    TheWorld().lastSession = session;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication app(*argc, *argv);
    std::signal(SIGPIPE, SIG_IGN);  // as the programs do
    TheWorld();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    World& w = TheWorld();
    const uint8_t flags = size > 0 ? data[0] : 0, extra = size > 1 ? data[1] : 0;
    const std::string bytes(reinterpret_cast<const char*>(data) + std::min<size_t>(size, 2),
                            size - std::min<size_t>(size, 2));
    const int mode = flags & 7;
    ServerSettings settings = w.settings;
    settings.m_nTlsMode = flags & 8 ? kTlsRequired : kTlsOffered;
    settings.m_pTls = flags & 16 ? w.legacy : w.modern;
    w.server.SetSettings(settings);
    w.server.Throttle().Clear();

    Client c;
    c.control = std::make_unique<Peer>(ConnectTo(ntohs(w.address.sin_port)));
    const int serverEnd = ::accept4(w.listener, nullptr, nullptr, SOCK_CLOEXEC);
    Require(c.control->fd >= 0 && serverEnd >= 0, "the control connection");
    auto thread = std::make_shared<CVeskConnectThread>(&w.server, serverEnd);
    w.server.AddThread(thread);
    Require(thread->Begin(), "the connection thread did not start");

    // In clear: the greeting, AUTH and its 234.
    const std::string auth = std::string("AUTH ") + kAuthTypes[extra & 3] + "\r\n";
    c.control->outbox = auth;
    const std::string proceed = "234 Proceed with TLS negotiation.\r\n";
    c.RunUntil([&] { return c.control->inbox.find(proceed) != std::string::npos; });
    const std::string clear = c.control->inbox;
    Require(clear.rfind("220 ", 0) == 0, "no greeting");
    Require(clear.size() >= proceed.size() && clear.compare(clear.size() - proceed.size(), proceed.size(), proceed) == 0,
            auth + " was not answered 234 alone: " + clear);
    RequireWellFormedReplies(clear);
    c.control->inbox.clear();
    c.looked = 0;
    c.protect = (extra & 3) >= 2;  // SSL and TLS-P protect the data too
    c.maxVersion = kClientVersions[(flags >> 5) & 3];
    c.resume = (flags & 128) == 0;

    if (mode == 1) {
        c.control->outbox = bytes;  // in place of a ClientHello
        c.control->closing = true;
        c.RunUntil([] { return false; });
    } else {
        c.control->StartTls(c.maxVersion, c.resume ? w.lastSession : nullptr);
        const size_t offset = (extra >> 2) * 16u;
        if (mode == 3)
            c.control->cutAt = offset;
        if (mode == 4)
            c.control->flipAt = offset;
        Converse(c, mode, bytes);
        RequireWellFormedReplies(c.control->inbox);
        KeepSessionForResumption(c.control->ssl);
    }
    c.control.reset();
    c.data.reset();
    Require(w.server.WaitForThreadsToEnd(10000), "a connection thread is stuck");
    Require(w.server.ThreadCount() == 0, "a thread is still listed");
    Require(w.server.UserCount() == 0, "the user count is " + std::to_string(w.server.UserCount()));
    RequireNothingOutside(w.tree, w.home);
    for (const auto& entry : fs::directory_iterator(w.home))
        fs::remove_all(entry.path());
    return 0;
}
