#include "platform/tls.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/child_process.h"
#include "platform/registry_files.h"

namespace platform {
namespace {

// One session id context for every connection of the server: a data
// connection may then resume the control connection's session.
constexpr unsigned char kSessionContext[] = "lumbra-ftpd";
constexpr long kCertificateDays = 3650;
// Raw bytes taken from the socket per read: with read-ahead one read brings
// several records (an upload's records are 16 KiB each) instead of two reads
// (header, body) per record. Larger buffers gained nothing: what is left of
// a record at the buffer's end is moved to its front before the next read.
constexpr size_t kReadAheadBytes = 64 * 1024;

std::string LibraryError(const std::string& what)
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return what;
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return what + ": " + text;
}

template <typename T, void (*Free)(T*)>
struct Freer {
    void operator()(T* p) const { Free(p); }
};
using BioPtr = std::unique_ptr<BIO, Freer<BIO, BIO_free_all>>;
using X509Ptr = std::unique_ptr<X509, Freer<X509, X509_free>>;
using KeyPtr = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY, EVP_PKEY_free>>;
using ExtPtr = std::unique_ptr<X509_EXTENSION, Freer<X509_EXTENSION, X509_EXTENSION_free>>;

std::string BioText(BIO* bio)
{
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    return length > 0 ? std::string(data, static_cast<size_t>(length)) : std::string();
}

std::string HexFingerprint(const unsigned char* digest, unsigned length)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned i = 0; i < length; ++i) {
        if (i)
            text += ':';
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 15];
    }
    return text;
}

// Only what a DNS name may hold: a comma or a colon would change the
// extension's meaning.
std::string DnsSafe(const std::string& name)
{
    std::string safe;
    for (char c : name)
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.')
            safe += c;
    return safe.empty() ? "localhost" : safe;
}

bool AddExtension(X509* cert, int nid, const std::string& value)
{
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    ExtPtr ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str()));
    return ext && X509_add_ext(cert, ext.get(), -1) == 1;
}

X509Ptr MakeCertificate(EVP_PKEY* key, const std::string& host, const std::vector<std::string>& addresses)
{
    X509Ptr cert(X509_new());
    if (!cert)
        return nullptr;
    unsigned char serial[16];
    if (RAND_bytes(serial, sizeof serial) != 1)
        return nullptr;
    serial[0] &= 0x7F;  // a positive number
    BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
    const bool serialSet = number && BN_to_ASN1_INTEGER(number, X509_get_serialNumber(cert.get()));
    BN_free(number);
    X509_NAME* name = X509_get_subject_name(cert.get());
    std::string san = "DNS:" + host;
    for (const std::string& address : addresses)
        san += ",IP:" + address;
    const bool ok =
        serialSet && X509_set_version(cert.get(), 2) == 1 &&
        X509_gmtime_adj(X509_getm_notBefore(cert.get()), -24 * 3600) &&
        X509_gmtime_adj(X509_getm_notAfter(cert.get()), kCertificateDays * 24 * 3600) &&
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(host.c_str()), -1, -1, 0) == 1 &&
        X509_set_issuer_name(cert.get(), name) == 1 && X509_set_pubkey(cert.get(), key) == 1 &&
        AddExtension(cert.get(), NID_subject_alt_name, san) &&
        AddExtension(cert.get(), NID_ext_key_usage, "serverAuth") &&
        AddExtension(cert.get(), NID_subject_key_identifier, "hash") &&
        AddExtension(cert.get(), NID_authority_key_identifier, "keyid:always") &&
        X509_sign(cert.get(), key, EVP_sha256()) > 0;
    return ok ? std::move(cert) : nullptr;
}

// Puts `from` at `to` unless `to` exists (true then too: somebody else's
// file is there). A file system without hard links gets a rename.
bool LinkNew(const std::string& from, const std::string& to)
{
    if (::link(from.c_str(), to.c_str()) == 0 || errno == EEXIST)
        return true;
    if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS)
        return false;
    return ::rename(from.c_str(), to.c_str()) == 0;
}

// Written whole beside the target under a name of its own, readable by its
// owner alone from the first byte on, then linked into place. Two programs
// that start at once may both generate: the first link wins, the other drops
// its own and both load the winner, so they serve the same certificate.
bool WritePrivateFile(const std::string& path, const std::string& text, std::string& error)
{
    std::string temporary = path + ".new-XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);  // mode 0600
    if (fd < 0) {
        error = "cannot create a file beside " + path + ": " + std::strerror(errno);
        return false;
    }
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && ::fsync(fd) == 0;
    int failure = errno;
    ok = (::close(fd) == 0) && ok;
    if (ok && !LinkNew(temporary, path)) {
        failure = errno;
        ok = false;
    }
    ::unlink(temporary.c_str());
    if (!ok)
        error = "cannot write " + path + ": " + std::strerror(failure);
    return ok;
}

// The whole file; one larger than any certificate file is refused.
bool ReadCertificateFile(const std::string& path, std::string& bytes, const std::string& what, std::string& error)
{
    const RegStatus status = ReadWholeFile(path, 1 << 20, bytes);
    if (status == ERROR_SUCCESS)
        return true;
    error = what + path + ": " +
            (status == ERROR_FILE_NOT_FOUND     ? std::strerror(ENOENT)
             : status == ERROR_ACCESS_DENIED    ? std::strerror(EACCES)
             : status == ERROR_REGISTRY_CORRUPT ? "larger than any certificate file"
             : status == ERROR_INVALID_DATA     ? "not a regular file"
                                                : "cannot be read");
    return false;
}

// "fingerprint\nPEM" of `cert`, as a child hands it back.
bool DescribeCertificate(X509* cert, std::string& text)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    BioPtr pem(BIO_new(BIO_s_mem()));
    if (!cert || !pem || X509_digest(cert, EVP_sha256(), digest, &length) != 1 ||
        PEM_write_bio_X509(pem.get(), cert) != 1) {
        text = LibraryError("cannot read the certificate");
        return false;
    }
    text = HexFingerprint(digest, length) + "\n" + BioText(pem.get());
    return true;
}

bool GenerateHere(const std::string& path, const std::string& hostName, const std::vector<std::string>& addresses,
                  std::string& error)
{
    KeyPtr key(EVP_RSA_gen(2048));
    if (!key) {
        error = LibraryError("cannot generate the RSA key");
        return false;
    }
    X509Ptr cert = MakeCertificate(key.get(), DnsSafe(hostName), addresses);
    BioPtr pem(BIO_new(BIO_s_mem()));
    if (!cert || !pem || PEM_write_bio_PrivateKey(pem.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1 ||
        PEM_write_bio_X509(pem.get(), cert.get()) != 1) {
        error = LibraryError("cannot make the certificate");
        return false;
    }
    std::string text = BioText(pem.get());
    const bool written = WritePrivateFile(path, text, error);
    OPENSSL_cleanse(text.data(), text.size());
    return written;
}

bool g_workApart = false;

}  // namespace

void DoCertificateWorkInChildProcess(bool apart)
{
    g_workApart = apart;
}

void ReleaseTlsThreadState()
{
    OPENSSL_thread_stop();
}

std::string LocalHostName()
{
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return "localhost";
    return DnsSafe(name);
}

bool GenerateCertificateFile(const std::string& path, const std::string& hostName,
                             const std::vector<std::string>& addresses, std::string& error)
{
    const auto generate = [&](std::string& text) { return GenerateHere(path, hostName, addresses, text); };
    return g_workApart ? RunInChildProcess(generate, error) : generate(error);
}

TlsServerContext::~TlsServerContext()
{
    SSL_CTX_free(m_ctx);
    OPENSSL_cleanse(m_keyText.data(), m_keyText.size());
}

std::unique_ptr<TlsServerContext> TlsServerContext::Load(const std::string& certFile, const std::string& keyFile,
                                                         bool legacy, std::string& error)
{
    std::unique_ptr<TlsServerContext> context(new TlsServerContext);
    context->m_legacy = legacy;
    context->m_certFile = certFile;
    context->m_keyFile = keyFile;
    if (!ReadCertificateFile(certFile, context->m_certText, "cannot load the certificate ", error) ||
        !ReadCertificateFile(keyFile, context->m_keyText, "cannot load the key ", error))
        return nullptr;
    // Built here from the bytes, or in a child from the same bytes; either
    // way every fault of the files shows now.
    const auto inspect = [&context](std::string& text) {
        SSL_CTX* ctx = context->Build(text);
        if (!ctx)
            return false;
        std::call_once(context->m_built, [&] { context->m_ctx = ctx; });  // a child's goes with it
        return DescribeCertificate(SSL_CTX_get0_certificate(ctx), text);
    };
    std::string text;
    if (!(g_workApart ? RunInChildProcess(inspect, text) : inspect(text))) {
        error = text;
        return nullptr;
    }
    const size_t lineEnd = text.find('\n');
    context->m_fingerprint = text.substr(0, lineEnd);
    context->m_certificatePem = text.substr(lineEnd + 1);
    return context;
}

ssl_ctx_st* TlsServerContext::Handle() const
{
    std::call_once(m_built, [this] {
        std::string error;
        m_ctx = Build(error);
        if (!m_ctx)
            std::fprintf(stderr, "TLS: %s\n", error.c_str());
    });
    return m_ctx;
}

SSL_CTX* TlsServerContext::Build(std::string& error) const
{
    ERR_clear_error();
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx) {
        error = LibraryError("cannot set up TLS");
        return nullptr;
    }
    // The system's configuration may raise the floor; these are ours.
    SSL_CTX_set_min_proto_version(ctx, m_legacy ? TLS1_VERSION : TLS1_2_VERSION);
    if (m_legacy)
        SSL_CTX_set_security_level(ctx, 0);
    // A client that ends with a bare TCP close is taken as a clean end, as
    // common FTPS servers do; renegotiation is never needed.
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_IGNORE_UNEXPECTED_EOF |
                                 SSL_OP_CIPHER_SERVER_PREFERENCE);
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_SERVER);
    SSL_CTX_set_session_id_context(ctx, kSessionContext, sizeof kSessionContext - 1);
    SSL_CTX_set_num_tickets(ctx, 1);
    if (!UseCertificate(ctx, error) || !UseKey(ctx, error)) {
        SSL_CTX_free(ctx);
        return nullptr;
    }
    return ctx;
}

// As SSL_CTX_use_certificate_chain_file reads a file: its first certificate
// is the server's, those after it the chain; other blocks (the key, in the
// generated file) are passed over.
bool TlsServerContext::UseCertificate(SSL_CTX* ctx, std::string& error) const
{
    BioPtr in(BIO_new_mem_buf(m_certText.data(), static_cast<int>(m_certText.size())));
    X509Ptr cert(in ? PEM_read_bio_X509_AUX(in.get(), nullptr, nullptr, nullptr) : nullptr);
    bool ok = cert && SSL_CTX_use_certificate(ctx, cert.get()) == 1;
    while (ok) {
        X509Ptr next(PEM_read_bio_X509(in.get(), nullptr, nullptr, nullptr));
        if (!next)
            break;
        ok = SSL_CTX_add0_chain_cert(ctx, next.get()) == 1;
        if (ok)
            next.release();  // the context owns it now
    }
    const unsigned long last = ERR_peek_last_error();
    if (!ok || ERR_GET_LIB(last) != ERR_LIB_PEM || ERR_GET_REASON(last) != PEM_R_NO_START_LINE) {
        error = LibraryError("cannot load the certificate " + m_certFile);
        return false;
    }
    ERR_clear_error();  // that was the file's end
    return true;
}

bool TlsServerContext::UseKey(SSL_CTX* ctx, std::string& error) const
{
    BioPtr in(BIO_new_mem_buf(m_keyText.data(), static_cast<int>(m_keyText.size())));
    KeyPtr key(in ? PEM_read_bio_PrivateKey(in.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!key || SSL_CTX_use_PrivateKey(ctx, key.get()) != 1 || SSL_CTX_check_private_key(ctx) != 1) {
        error = LibraryError("cannot load the key " + m_keyFile + " for the certificate");
        return false;
    }
    return true;
}

TlsStream::TlsStream(const TlsServerContext& context, int socketFd, bool issueTickets)
    : m_ssl(SSL_new(context.Handle()))
{
    if (m_ssl && SSL_set_fd(m_ssl, socketFd) == 1) {
        SSL_set_accept_state(m_ssl);
        SSL_set_read_ahead(m_ssl, 1);
        SSL_set_default_read_buffer_len(m_ssl, kReadAheadBytes);
        if (!issueTickets)
            SSL_set_num_tickets(m_ssl, 0);
        return;
    }
    SSL_free(m_ssl);
    m_ssl = nullptr;
}

TlsStream::~TlsStream()
{
    SSL_free(m_ssl);
}

TlsStatus TlsStream::Classify(int result)
{
    switch (SSL_get_error(m_ssl, result)) {
    case SSL_ERROR_WANT_READ:
        return TlsStatus::WantRead;
    case SSL_ERROR_WANT_WRITE:
        return TlsStatus::WantWrite;
    case SSL_ERROR_ZERO_RETURN:
        return TlsStatus::Closed;
    default:
        // A protocol error, a reset, or an end inside a record.
        m_failed = true;
        ERR_clear_error();
        return TlsStatus::Failed;
    }
}

TlsStatus TlsStream::Handshake()
{
    if (m_failed || !m_ssl)
        return TlsStatus::Failed;
    if (m_handshakeDone)
        return TlsStatus::Done;
    ERR_clear_error();
    const int result = SSL_do_handshake(m_ssl);
    if (result == 1) {
        m_handshakeDone = true;
        SurfaceBufferedRecord();  // the client's first records may have come with its Finished
        return TlsStatus::Done;
    }
    const TlsStatus status = Classify(result);
    if (status == TlsStatus::Closed) {
        m_failed = true;  // a close inside the handshake is no clean end
        return TlsStatus::Failed;
    }
    return status;
}

TlsStatus TlsStream::Read(void* buffer, size_t size, size_t& done)
{
    done = 0;
    if (m_failed || !m_handshakeDone)
        return TlsStatus::Failed;
    // Record after record until the buffer is full: what the socket holds is
    // taken in one call, and nothing is left decrypted behind the caller's
    // back unless the buffer is full. A successful read leaves the error
    // queue as it was, so one clearing serves the whole loop.
    ERR_clear_error();
    while (done < size) {
        size_t n = 0;
        const int result = SSL_read_ex(m_ssl, static_cast<char*>(buffer) + done, size - done, &n);
        if (result == 1) {
            done += n;
            continue;
        }
        const TlsStatus status = Classify(result);
        if (done > 0)
            return TlsStatus::Done;  // the status comes again with the next call
        return status;
    }
    SurfaceBufferedRecord();
    return TlsStatus::Done;
}

void TlsStream::SurfaceBufferedRecord()
{
    // Read-ahead may hold whole records that the socket no longer shows: a
    // caller waiting for readiness would wait for ever (a client that sent
    // its last bytes and close_notify and now waits for ours). Peeking
    // decrypts the next whole record, so that Pending() or PeerClosed() tells
    // of it; a record still incomplete needs the socket anyway.
    if (SSL_pending(m_ssl) > 0 || !SSL_has_pending(m_ssl))
        return;
    char next;
    size_t peeked = 0;
    ERR_clear_error();
    const int result = SSL_peek_ex(m_ssl, &next, 1, &peeked);
    if (result != 1)
        Classify(result);  // a broken record: HasFailed() tells the caller to read it
}

TlsStatus TlsStream::Write(const void* data, size_t size, size_t& done)
{
    done = 0;
    if (m_failed || !m_handshakeDone)
        return TlsStatus::Failed;
    ERR_clear_error();
    const int result = SSL_write_ex(m_ssl, data, size, &done);
    if (result == 1)
        return TlsStatus::Done;
    const TlsStatus status = Classify(result);
    if (status == TlsStatus::Closed) {
        m_failed = true;
        return TlsStatus::Failed;
    }
    return status;
}

void TlsStream::Shutdown()
{
    if (m_failed || !m_handshakeDone || m_shutdownSent)
        return;
    m_shutdownSent = true;
    ERR_clear_error();
    SSL_shutdown(m_ssl);
    ERR_clear_error();
}

size_t TlsStream::Pending() const
{
    return m_ssl ? static_cast<size_t>(SSL_pending(m_ssl)) : 0;
}

bool TlsStream::PeerClosed() const
{
    return m_ssl && (SSL_get_shutdown(m_ssl) & SSL_RECEIVED_SHUTDOWN) != 0;
}

bool TlsStream::SessionReused() const
{
    return m_ssl && SSL_session_reused(m_ssl) == 1;
}

}  // namespace platform
