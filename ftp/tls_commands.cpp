// FTPS (RFC 4217, explicit TLS): AUTH, PBSZ, PROT and FEAT, and what
// required mode refuses in clear. These verbs are known only while TLS is
// offered or required; with TLS off the session answers as it always has.
#include <algorithm>
#include <cctype>

#include "ftp/control_socket.h"
#include "ftp/replies.h"
#include "platform/tls.h"

namespace {

std::string UpperCase(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

}  // namespace

void CVeskControlSocket::OnAuth(const std::string& argument)
{
    if (IsTlsEstablished()) {
        SendResponse(reply::kAlreadyTls);
        return;
    }
    const std::string type = UpperCase(argument);
    if (type != "TLS" && type != "TLS-C" && type != "SSL" && type != "TLS-P") {
        SendResponse(reply::kUnknownAuthType);
        return;
    }
    const auto tls = Settings()->m_pTls;
    if (!tls) {
        SendResponse(reply::kNotSupported);  // no certificate: nothing to offer
        return;
    }
    SendResponse(reply::kTlsProceed);
    // Whatever the client sent in clear behind AUTH must not pass for a
    // command sent under TLS.
    m_strRecvBuffer.clear();
    m_bDiscardingLine = false;
    // The old names of TLS-P also protect the data connections.
    if (type == "SSL" || type == "TLS-P")
        m_bProtectData = true;
    if (!StartTls(*tls) && m_pThread)
        m_pThread->EndSession(1);
}

void CVeskControlSocket::OnTlsHandshake(bool succeeded)
{
    if (!m_pThread)
        return;
    if (succeeded)
        m_pThread->Touch();
    else
        m_pThread->EndSession(1);  // nothing can be said in clear any more
}

void CVeskControlSocket::OnPbsz(const std::string&)
{
    SendResponse(IsTlsEstablished() ? reply::kPbszSet : reply::kAuthFirst);
}

void CVeskControlSocket::OnProt(const std::string& argument)
{
    if (!IsTlsEstablished()) {
        SendResponse(reply::kAuthFirst);
        return;
    }
    const std::string level = UpperCase(argument);
    if (level == "P") {
        m_bProtectData = true;
        SendResponse(reply::ProtectionSet('P'));
    } else if (level == "C" && Settings()->m_nTlsMode == kTlsRequired) {
        SendResponse(reply::kProtPRequired);
    } else if (level == "C") {
        m_bProtectData = false;
        SendResponse(reply::ProtectionSet('C'));
    } else if (level == "S" || level == "E") {
        SendResponse(reply::kProtectionNotSupported);
    } else {
        SendResponse(reply::kSyntaxError);
    }
}

void CVeskControlSocket::OnFeat(const std::string&)
{
    for (const char* line : {reply::kFeaturesStart, " AUTH TLS", " PBSZ", " PROT", " UTF8", reply::kFeaturesEnd})
        if (!SendResponse(line))
            return;
}

bool CVeskControlSocket::RefusedWithoutTls(const std::string& verb)
{
    if (Settings()->m_nTlsMode != kTlsRequired)
        return false;
    if ((verb == "USER" || verb == "PASS") && !IsTlsEstablished()) {
        SendResponse(reply::kTlsRequired);
        return true;
    }
    if ((verb == "STOR" || verb == "LIST" || verb == "NLST") && !m_bProtectData) {
        SendResponse(reply::kDataMustBeProtected);
        MarkDataConnectionAnswered();
        return true;
    }
    return false;
}

std::shared_ptr<const platform::TlsServerContext> CVeskControlSocket::DataTlsContext() const
{
    return m_bProtectData ? Settings()->m_pTls : nullptr;
}
