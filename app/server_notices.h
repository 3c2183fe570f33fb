// The desktop's words on the server's state: the tray tooltip, and the
// notices of a start that failed, of a stored adapter without an address,
// of a certificate that cannot be served and of the first start. Korean, as the rest of the program.
#pragma once

#include <string>

#include "server/ftp_server.h"
#include "settings/tls_settings.h"

enum class ServerState { Stopped, Serving, WaitingForAdapter };

// "Orvello — 192.168.0.10:21 대기 중": what the device needs and whether it
// is served. The adapter's name stands in for an address it does not have.
std::string ServerStateToolTip(const ServerSettings& s, ServerState state);

// The cause of a failed start and what the user can do about it;
// `programPath` is the file that needs the capability for a low port.
std::string StartFailureNotice(const ServerSettings& s, const StartResult& result, const std::string& programPath);

std::string AdapterMissingNotice(const ServerSettings& s);
std::string AdapterFoundNotice(const ServerSettings& s);

// TLS is on but its certificate could not be made or read (`error`): what
// the server does meanwhile and how to mend it.
std::string TlsFailureNotice(const TlsSettings& tls, const std::string& error);

// Where the device must deliver, and that anyone may (anonymous login).
std::string FirstStartNotice(const ServerSettings& s);
