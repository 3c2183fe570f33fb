#include "settings/tls_settings.h"

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <vector>

#include "platform/adapters.h"
#include "platform/registry.h"
#include "platform/tls.h"
#include "settings/scoped_reg_key.h"
#include "settings/settings_keys.h"
#include "settings/settings_store.h"

using namespace platform;

bool ParseTlsMode(const std::string& text, int& mode)
{
    static const char* const kNames[] = {"off", "offered", "required"};
    for (int m = kTlsOff; m <= kTlsRequired; ++m)
        if (text == kNames[m]) {
            mode = m;
            return true;
        }
    return false;
}

const char* TlsModeName(int mode)
{
    return mode == kTlsRequired ? "required" : mode == kTlsOffered ? "offered" : "off";
}

void ReadStoredTls(TlsSettings& tls)
{
    using namespace settings_keys;
    tls = {};
    std::uint32_t mode = kTlsOff, legacy = 0;
    if (!GetRegDword(kTlsMode, mode) || mode > kTlsRequired)
        std::fprintf(stderr, "the stored TlsMode is not 0, 1 or 2; TLS stays off\n");
    else
        tls.mode = static_cast<int>(mode);
    if (!GetRegDword(kTlsLegacy, legacy) || legacy > 1)
        std::fprintf(stderr, "the stored TlsLegacy is not 0 or 1; old TLS versions stay refused\n");
    else
        tls.legacy = legacy == 1;
    std::string cert, key;
    if (!GetRegString(kTlsCertFile, cert) || !GetRegString(kTlsKeyFile, key) || cert.empty() != key.empty()) {
        std::fprintf(stderr, "the stored TlsCertFile and TlsKeyFile are unusable; the generated certificate is used\n");
        return;
    }
    tls.certFile = cert;
    tls.keyFile = key;
}

std::string GeneratedCertificatePath()
{
    const std::string settingsFile = RegKeyFilePath(settings_keys::kSettingsKey);
    if (settingsFile.empty())
        return {};
    return (std::filesystem::path(settingsFile).parent_path() / "lumbra-tls.pem").string();
}

namespace {

// The host name and every adapter's address, as the certificate names them.
bool GenerateCertificate(const std::string& path, std::string& error)
{
    std::vector<AdapterInfo> adapters;
    GetAdaptersInfo(adapters);
    std::vector<std::string> addresses{"127.0.0.1"};
    for (const AdapterInfo& adapter : adapters)
        addresses.push_back(adapter.address);
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
    return GenerateCertificateFile(path, LocalHostName(), addresses, error);
}

}  // namespace

std::shared_ptr<const TlsServerContext> TlsContextFor(const TlsSettings& tls, std::string& error)
{
    if (tls.mode == kTlsOff)
        return nullptr;
    static std::mutex lock;
    static TlsSettings cachedFor;  // with the files in use, the generated one's named
    static std::shared_ptr<const TlsServerContext> cached;
    const std::lock_guard<std::mutex> guard(lock);
    TlsSettings inUse = tls;
    const bool generated = tls.certFile.empty();
    if (generated) {
        inUse.certFile = inUse.keyFile = GeneratedCertificatePath();
        if (inUse.certFile.empty()) {
            error = "no folder for the certificate: the settings file's place is unknown";
            return nullptr;
        }
    }
    if (cached && cachedFor == inUse)
        return cached;
    std::error_code ignored;
    if (generated && !std::filesystem::exists(inUse.certFile, ignored) && !GenerateCertificate(inUse.certFile, error))
        return nullptr;
    std::shared_ptr<const TlsServerContext> context =
        TlsServerContext::Load(inUse.certFile, inUse.keyFile, tls.legacy, error);
    if (context) {
        cached = context;
        cachedFor = inUse;
    }
    return context;
}

std::shared_ptr<const TlsServerContext> TlsCertificateFor(const TlsSettings& tls, std::string& error)
{
    if (tls.mode != kTlsOff)
        return TlsContextFor(tls, error);
    // Read apart from TlsContextFor's cache, which stays the served one's.
    std::string cert = tls.certFile, key = tls.keyFile;
    if (cert.empty()) {
        cert = key = GeneratedCertificatePath();
        std::error_code ignored;
        if (cert.empty() || !std::filesystem::exists(cert, ignored))
            return nullptr;
    }
    return TlsServerContext::Load(cert, key, tls.legacy, error);
}
