// The verbs the session knows, in one table that the dispatcher and the
// tests read alike. A verb not listed here is answered with the 502.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "ftp/control_socket.h"

// What each verb needs before it runs, and who carries it out. Before login
// only USER and PASS pass the gate. Verbs that start or prepare a transfer
// wait while one runs, so that nothing of one upload lands in another.
struct CommandTable {
    using Handler = void (CVeskControlSocket::*)(const std::string&);
    struct Entry {
        std::string_view verb;
        bool needsLogin;
        bool waitsForTransfer;
        Handler handler;
    };
    static constexpr std::array<Entry, 23> kEntries{{
        {"USER", false, false, &CVeskControlSocket::OnUser},
        {"PASS", false, false, &CVeskControlSocket::OnPass},
        {"QUIT", true, false, &CVeskControlSocket::OnQuit},
        {"BYE", true, false, &CVeskControlSocket::OnQuit},
        {"TYPE", true, false, &CVeskControlSocket::OnType},
        {"PWD", true, false, &CVeskControlSocket::OnPwd},
        {"CWD", true, false, &CVeskControlSocket::OnCwd},
        {"CDUP", true, false, &CVeskControlSocket::OnCdup},
        {"RNFR", true, false, &CVeskControlSocket::OnRnfr},
        {"RNTO", true, false, &CVeskControlSocket::OnRnto},
        {"DELE", true, false, &CVeskControlSocket::OnDele},
        {"MKD", true, false, &CVeskControlSocket::OnMkd},
        {"RMD", true, false, &CVeskControlSocket::OnRmd},
        {"PORT", true, true, &CVeskControlSocket::OnPort},
        {"PASV", true, true, &CVeskControlSocket::OnPasv},
        {"EPSV", true, true, &CVeskControlSocket::OnEpsv},
        {"NLST", true, true, &CVeskControlSocket::OnList},
        {"LIST", true, true, &CVeskControlSocket::OnList},
        {"STOR", true, true, &CVeskControlSocket::OnStor},
        {"ABOR", true, false, &CVeskControlSocket::OnAbor},
        {"SYST", true, false, &CVeskControlSocket::OnSyst},
        {"NOOP", true, false, &CVeskControlSocket::OnNoop},
        {"OPTS", true, false, &CVeskControlSocket::OnOpts},
    }};

    // Known only while TLS is offered or required; before login too, since
    // a client secures the connection before it logs in.
    static constexpr std::array<Entry, 4> kTlsEntries{{
        {"AUTH", false, false, &CVeskControlSocket::OnAuth},
        {"PBSZ", false, false, &CVeskControlSocket::OnPbsz},
        {"PROT", false, false, &CVeskControlSocket::OnProt},
        {"FEAT", false, false, &CVeskControlSocket::OnFeat},
    }};

    static const Entry* Find(std::string_view verb, bool withTls = false)
    {
        for (const Entry& e : kEntries)
            if (e.verb == verb)
                return &e;
        if (withTls)
            for (const Entry& e : kTlsEntries)
                if (e.verb == verb)
                    return &e;
        return nullptr;
    }
};
