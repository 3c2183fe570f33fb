// FTPS: its stored values and the server's TLS context made from them. Like
// "PassivePorts" they are additions of ours, read after the designed values;
// a bad one is reported and ignored.
#pragma once

#include <memory>
#include <string>

#include "platform/registry_errors.h"
#include "server/server_settings.h"

namespace platform {
class TlsServerContext;
}

struct TlsSettings {
    int mode = kTlsOff;    // "TlsMode": kTlsOff, kTlsOffered or kTlsRequired
    bool legacy = false;   // "TlsLegacy": TLS 1.0/1.1 for old devices
    std::string certFile;  // "TlsCertFile"/"TlsKeyFile": one's own; empty:
    std::string keyFile;   // the generated certificate beside the settings
    bool operator==(const TlsSettings&) const = default;
};

// "off", "offered", "required" to the mode; false for anything else.
bool ParseTlsMode(const std::string& text, int& mode);
const char* TlsModeName(int mode);

// Reads the stored values; each bad one is reported on stderr and the
// default kept.
void ReadStoredTls(TlsSettings& tls);

// The generated certificate and key: one PEM file beside the settings file.
std::string GeneratedCertificatePath();

// The context for `tls` (null when it is off). The generated certificate is
// made on first use; one context is kept per configuration, so every session
// shares its session cache. Null with `error` on failure.
std::shared_ptr<const platform::TlsServerContext> TlsContextFor(const TlsSettings& tls, std::string& error);

// The certificate that `tls` serves, for showing its fingerprint and handing
// it to a device. With TLS on it is TlsContextFor's (the generated one made
// first if missing); with TLS off an existing certificate is read, none is
// made, and null with an empty `error` means there is none yet.
std::shared_ptr<const platform::TlsServerContext> TlsCertificateFor(const TlsSettings& tls, std::string& error);
