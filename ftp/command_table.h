// The verbs the session knows, in one table that the dispatcher and the
// tests read alike. A verb not listed here is answered with the 502.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "ftp/control_socket.h"

// What each verb needs before it runs, and who carries it out. Before login
// only USER and PASS pass the gate.
//
// While a transfer runs, replies keep the order of the commands: a command
// waits for the transfer's final reply, and only ABOR acts at once. A device
// that waits between pages keeps its control connection alive with NOOP; so
// once the data connection has brought nothing for a while, the verbs that
// cannot touch the transfer or the session's state are answered then.
enum class DuringTransfer {
    Waits,        // answered after the transfer's final reply
    WhenStalled,  // answered at once when the data connection has gone quiet
    AtOnce,       // ABOR
};

struct CommandTable {
    using Handler = void (CVeskControlSocket::*)(const std::string&);
    struct Entry {
        std::string_view verb;
        bool needsLogin;
        DuringTransfer duringTransfer;
        Handler handler;
    };
    static constexpr std::array<Entry, 23> kEntries{{
        {"USER", false, DuringTransfer::Waits, &CVeskControlSocket::OnUser},
        {"PASS", false, DuringTransfer::Waits, &CVeskControlSocket::OnPass},
        {"QUIT", true, DuringTransfer::Waits, &CVeskControlSocket::OnQuit},
        {"BYE", true, DuringTransfer::Waits, &CVeskControlSocket::OnQuit},
        {"TYPE", true, DuringTransfer::WhenStalled, &CVeskControlSocket::OnType},
        {"PWD", true, DuringTransfer::WhenStalled, &CVeskControlSocket::OnPwd},
        {"CWD", true, DuringTransfer::Waits, &CVeskControlSocket::OnCwd},
        {"CDUP", true, DuringTransfer::Waits, &CVeskControlSocket::OnCdup},
        {"RNFR", true, DuringTransfer::Waits, &CVeskControlSocket::OnRnfr},
        {"RNTO", true, DuringTransfer::Waits, &CVeskControlSocket::OnRnto},
        {"DELE", true, DuringTransfer::Waits, &CVeskControlSocket::OnDele},
        {"MKD", true, DuringTransfer::Waits, &CVeskControlSocket::OnMkd},
        {"RMD", true, DuringTransfer::Waits, &CVeskControlSocket::OnRmd},
        {"PORT", true, DuringTransfer::Waits, &CVeskControlSocket::OnPort},
        {"PASV", true, DuringTransfer::Waits, &CVeskControlSocket::OnPasv},
        {"EPSV", true, DuringTransfer::Waits, &CVeskControlSocket::OnEpsv},
        {"NLST", true, DuringTransfer::Waits, &CVeskControlSocket::OnList},
        {"LIST", true, DuringTransfer::Waits, &CVeskControlSocket::OnList},
        {"STOR", true, DuringTransfer::Waits, &CVeskControlSocket::OnStor},
        {"ABOR", true, DuringTransfer::AtOnce, &CVeskControlSocket::OnAbor},
        {"SYST", true, DuringTransfer::WhenStalled, &CVeskControlSocket::OnSyst},
        {"NOOP", true, DuringTransfer::WhenStalled, &CVeskControlSocket::OnNoop},
        {"OPTS", true, DuringTransfer::Waits, &CVeskControlSocket::OnOpts},
    }};

    // Known only while TLS is offered or required; before login too, since
    // a client secures the connection before it logs in.
    static constexpr std::array<Entry, 4> kTlsEntries{{
        {"AUTH", false, DuringTransfer::Waits, &CVeskControlSocket::OnAuth},
        {"PBSZ", false, DuringTransfer::Waits, &CVeskControlSocket::OnPbsz},
        {"PROT", false, DuringTransfer::Waits, &CVeskControlSocket::OnProt},
        {"FEAT", false, DuringTransfer::Waits, &CVeskControlSocket::OnFeat},
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
