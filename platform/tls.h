// TLS for the FTP server (explicit FTPS): the server's context with its
// certificate, the certificate's generation, and a non-blocking TLS stream
// over a connected socket. OpenSSL stays behind this header.
//
// Every call on a stream returns at once. WantRead / WantWrite say which
// readiness of the socket lets the same call go on; the caller waits for it
// in its own loop and calls again.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct ssl_st;
struct ssl_ctx_st;

namespace platform {

// The server side of every TLS connection of one configuration: versions,
// certificate and key, and the session cache that lets a data connection
// resume the control connection's session.
//
// Loading reads the certificate and key files and checks them whole (the
// library's context is built from them once); a bad file is reported then.
// With the work done apart (below) the context this process uses is built
// from the same bytes when the first connection asks for it.
class TlsServerContext {
public:
    ~TlsServerContext();
    TlsServerContext(const TlsServerContext&) = delete;
    TlsServerContext& operator=(const TlsServerContext&) = delete;

    // certFile and keyFile may name the same PEM file. legacy: TLS 1.0 and
    // 1.1 are accepted too, at security level 0 (old devices' CBC suites and
    // SHA-1 signatures); otherwise TLS 1.2 and 1.3 only. Null with `error`.
    static std::unique_ptr<TlsServerContext> Load(const std::string& certFile, const std::string& keyFile,
                                                  bool legacy, std::string& error);

    // SHA-256 of the certificate (DER), as "AB:CD:...".
    const std::string& Fingerprint() const { return m_fingerprint; }
    // The certificate alone, PEM, for importing into a device.
    const std::string& CertificatePem() const { return m_certificatePem; }
    bool Legacy() const { return m_legacy; }

    // The library's context, built on the first call (from any thread) if
    // loading did not build it; null when it cannot be (out of memory), the
    // reason on standard error.
    ssl_ctx_st* Handle() const;

private:
    TlsServerContext() = default;
    ssl_ctx_st* Build(std::string& error) const;
    bool UseCertificate(ssl_ctx_st* ctx, std::string& error) const;
    bool UseKey(ssl_ctx_st* ctx, std::string& error) const;

    std::string m_certFile, m_keyFile;  // their names, for messages
    std::string m_certText, m_keyText;  // their bytes as loading read them
    mutable std::once_flag m_built;
    mutable ssl_ctx_st* m_ctx = nullptr;
    std::string m_fingerprint;
    std::string m_certificatePem;
    bool m_legacy = false;
};

// Writes a new self-signed certificate (RSA 2048, SHA-256, ten years) with
// its key to `path` as one PEM file readable by its owner alone. The subject
// is hostName; hostName and every address are its alternative names. The
// file is written beside and renamed into place. False with `error`.
bool GenerateCertificateFile(const std::string& path, const std::string& hostName,
                             const std::vector<std::string>& addresses, std::string& error);

// From this call on a certificate is generated, and a context's files are
// checked, in a short-lived child process while this process has no other
// thread (platform/child_process.h). Until a client asks for TLS the process
// then holds none of the library's certificate, key and cipher machinery:
// some megabytes, mostly code pages. lumbra-ftpd calls it at its start.
void DoCertificateWorkInChildProcess(bool apart = true);

// Frees what the TLS library keeps for the calling thread (its random
// generators). A thread calls it before it reports its end: the process may
// exit before the thread's own exit handlers would free them.
void ReleaseTlsThreadState();

// The name of this computer, as the certificate names it.
std::string LocalHostName();

enum class TlsStatus {
    Done,       // the call did its work (for Read/Write: some bytes)
    WantRead,   // call again once the socket is readable
    WantWrite,  // call again once the socket is writable
    Closed,     // the peer ended the TLS session (close_notify or a plain TCP end)
    Failed,     // a TLS error or a reset: the connection is unusable
};

// The server end of a TLS connection over a connected, non-blocking socket.
// The socket stays the caller's: the stream neither closes nor watches it.
// issueTickets: TLS 1.3 session tickets are sent after the handshake, for
// later connections to resume. A client that only uploads never reads its
// data connection, and a ticket left unread there turns its close into a
// reset: data connections issue none (they resume the control connection's).
class TlsStream {
public:
    TlsStream(const TlsServerContext& context, int socketFd, bool issueTickets = true);
    ~TlsStream();
    TlsStream(const TlsStream&) = delete;
    TlsStream& operator=(const TlsStream&) = delete;

    // False when the stream could not be set up (out of memory).
    bool IsValid() const { return m_ssl != nullptr; }

    TlsStatus Handshake();
    // Fills `buffer` with as many decrypted bytes as are at hand; `done` is
    // the count. Done with done > 0, or another status with done == 0 —
    // except that bytes read before a Want*/Closed are returned as Done first.
    TlsStatus Read(void* buffer, size_t size, size_t& done);
    // Writes from `data`; with Done, `done` bytes (at least one record) went.
    TlsStatus Write(const void* data, size_t size, size_t& done);
    // Sends close_notify once, without waiting for the peer's. Nothing after
    // a failure (the library forbids it).
    void Shutdown();
    // Decrypted bytes held in the stream and not read yet.
    size_t Pending() const;
    // The peer's close_notify has been read (perhaps behind bytes that a
    // Read returned first): the next Read reports Closed.
    bool PeerClosed() const;
    // A failure is known that no Read has reported yet (or has): the next
    // Read reports it, though the socket may show nothing more.
    bool HasFailed() const { return m_failed; }
    // The handshake resumed an earlier session (of the control connection).
    bool SessionReused() const;
    bool HandshakeDone() const { return m_handshakeDone; }

private:
    TlsStatus Classify(int result);
    // Decrypts a whole record that read-ahead holds, if one is there and
    // nothing else is decrypted, so that Pending() and PeerClosed() see it.
    void SurfaceBufferedRecord();

    ssl_st* m_ssl = nullptr;
    bool m_handshakeDone = false;
    bool m_failed = false;
    bool m_shutdownSent = false;
};

}  // namespace platform
