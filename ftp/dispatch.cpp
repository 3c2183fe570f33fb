// The command dispatcher and the session commands: login, leaving, and the
// small informational verbs.
#include <algorithm>
#include <cctype>
#include <filesystem>

#include "ftp/command_table.h"
#include "ftp/control_socket.h"
#include "ftp/path_util.h"
#include "ftp/replies.h"

namespace {

std::string TrimLineEnd(std::string text)
{
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n'))
        text.pop_back();
    return text;
}

}  // namespace

std::string CommandVerb(const std::string& line)
{
    std::string verb = TrimLineEnd(line.substr(0, line.find(' ')));
    std::transform(verb.begin(), verb.end(), verb.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return verb;
}

bool WaitsForRunningTransfer(const std::string& verb)
{
    const CommandTable::Entry* entry = CommandTable::Find(verb);
    return entry && entry->waitsForTransfer;
}

void CVeskControlSocket::ProcessCommand()
{
    if (m_CommandQueue.empty())
        return;
    const std::string line = m_CommandQueue.front();
    m_CommandQueue.pop_front();

    const size_t space = line.find(' ');
    const std::string verb = CommandVerb(line);
    std::string argument = space == std::string::npos ? "" : TrimLineEnd(line.substr(space + 1));

    const CommandTable::Entry* entry = CommandTable::Find(verb, Settings()->m_nTlsMode != kTlsOff);
    if (m_nStatus == STATUS_NOT_LOGGED_IN && (!entry || entry->needsLogin)) {
        SendResponse(reply::kLoginFirst);
        return;
    }
    if (RefusedWithoutTls(verb))
        return;
    argument = FromWire(argument);
    if (!entry) {
        SendResponse(reply::kNotSupported);
        return;
    }
    (this->*(entry->handler))(argument);
}

void CVeskControlSocket::OnUser(const std::string& argument)
{
    m_nStatus = STATUS_NOT_LOGGED_IN;
    if (!EqualsIgnoringAsciiCase(argument, Settings()->m_strUserID)) {
        SendResponse(reply::kUnknownUser);
        return;
    }
    m_strUserName = argument;
    SendResponse(reply::PasswordRequired(m_strUserName));
}

void CVeskControlSocket::OnPass(const std::string& argument)
{
    if (m_strUserName.empty()) {
        SendResponse(reply::kUserFirst);
        return;
    }
    const auto settings = Settings();
    if (!settings->m_bAnonymous && argument != settings->m_strPassword) {
        SendResponse(reply::kLoginIncorrect);
        return;
    }
    m_strCurrentDir.assign(1, '/');
    m_nStatus = STATUS_IDLE;
    m_bLoggedIn = true;
    SendResponse(reply::kLoggedIn);
    // The home folder comes into being at the first login; nothing is
    // reported either way.
    std::error_code ignored;
    const std::string& home = settings->m_strHomePath;
    if (!home.empty() && !std::filesystem::is_directory(home, ignored))
        std::filesystem::create_directories(home, ignored);
}

void CVeskControlSocket::OnQuit(const std::string&)
{
    // No longer holds its place from here on: the client may reconnect as
    // soon as it has read the goodbye.
    m_pThread->MarkEnding();
    SendResponse(reply::Goodbye(m_pThread->GoodbyeMessage()));
    m_pThread->EndSession(1);
}

void CVeskControlSocket::OnType(const std::string& argument)
{
    SendResponse(reply::TypeSet(argument));
}

void CVeskControlSocket::OnPwd(const std::string&)
{
    SendResponse(reply::CurrentDirectory(m_strCurrentDir));
}

void CVeskControlSocket::OnCwd(const std::string& argument)
{
    ChangeDirectory(argument);
}

void CVeskControlSocket::OnCdup(const std::string&)
{
    ChangeDirectory("..");
}

void CVeskControlSocket::OnSyst(const std::string&)
{
    SendResponse(reply::kSystem);
}

void CVeskControlSocket::OnNoop(const std::string&)
{
    SendResponse(reply::kOk);
}

void CVeskControlSocket::OnOpts(const std::string& argument)
{
    if (argument == "UTF8 ON")
        m_bUTF8 = 1;
    SendResponse(reply::kOk);
}
