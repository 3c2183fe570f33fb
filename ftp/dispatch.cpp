// The command dispatcher and the session commands: login, leaving, and the
// small informational verbs.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <utility>

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
    if (HoldLoginReply(&CVeskControlSocket::OnUser, argument))
        return;
    m_nStatus = STATUS_NOT_LOGGED_IN;
    if (!EqualsIgnoringAsciiCase(argument, Settings()->m_strUserID)) {
        TellLoginOutcome(argument, SessionHost::LoginOutcome::Failed);
        SendResponse(reply::kUnknownUser);
        return;
    }
    TellLoginOutcome(argument, SessionHost::LoginOutcome::Undecided);
    m_strUserName = argument;
    SendResponse(reply::PasswordRequired(m_strUserName));
}

void CVeskControlSocket::OnPass(const std::string& argument)
{
    if (HoldLoginReply(&CVeskControlSocket::OnPass, argument))
        return;
    if (m_strUserName.empty()) {
        TellLoginOutcome(m_strUserName, SessionHost::LoginOutcome::Undecided);
        SendResponse(reply::kUserFirst);
        return;
    }
    const auto settings = Settings();
    if (!settings->m_bAnonymous && argument != settings->m_strPassword) {
        TellLoginOutcome(m_strUserName, SessionHost::LoginOutcome::Failed);
        SendResponse(reply::kLoginIncorrect);
        return;
    }
    TellLoginOutcome(m_strUserName, SessionHost::LoginOutcome::LoggedIn);
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

// Password guessing: in named mode the host keeps the failures of each
// client address, and a reply to an address that failed waits for its turn
// on a timer of the session's loop, which goes on serving meanwhile. The
// lines after the waiting one wait with it, so replies keep their order. In
// anonymous mode the name is the public "anonymous" and any password will
// do: there is nothing to guess, and nothing is counted or delayed.
bool CVeskControlSocket::HoldLoginReply(LoginHandler handler, const std::string& argument)
{
    m_bLoginGuarded = m_pThread && !Settings()->m_bAnonymous;  // for this command's outcome
    if (!m_bLoginGuarded)
        return false;
    const auto wait = m_pThread->LoginTurn(m_strPeerAddress);
    if (wait <= std::chrono::milliseconds::zero())
        return false;
    m_HeldLoginHandler = handler;
    m_strHeldLoginArgument = argument;
    m_nLoginTimer = m_pThread->Queue().SetTimer(static_cast<unsigned>(wait.count()),
                                                [this](unsigned id) { OnLoginTurn(id); });
    return true;
}

void CVeskControlSocket::OnLoginTurn(unsigned timerId)
{
    if (timerId != m_nLoginTimer || m_bDispatching)
        return;  // a command is running: the timer fires again
    m_pThread->Queue().KillTimer(timerId);
    if (IsOpen() && PeerHasClosed()) {
        OnClientGone();  // before the turn is used: the held attempt counts as failed
        return;
    }
    m_nLoginTimer = 0;
    if (!IsOpen())
        return;
    const LoginHandler handler = std::exchange(m_HeldLoginHandler, nullptr);
    const std::string argument = std::move(m_strHeldLoginArgument);
    m_bDispatching = true;
    (this->*handler)(argument);  // holds again if another attempt took the turn
    m_bDispatching = false;
    ResumeCommands();
}

// A client that hangs up on a waiting reply must not gain by it: the attempt
// counts as failed.
void CVeskControlSocket::ForfeitHeldLogin()
{
    if (m_nLoginTimer == 0)
        return;
    m_pThread->Queue().KillTimer(m_nLoginTimer);
    m_nLoginTimer = 0;
    const bool heldUser = m_HeldLoginHandler == &CVeskControlSocket::OnUser;
    TellLoginOutcome(heldUser ? m_strHeldLoginArgument : m_strUserName, SessionHost::LoginOutcome::Failed);
}

void CVeskControlSocket::TellLoginOutcome(const std::string& user, SessionHost::LoginOutcome outcome)
{
    if (m_bLoginGuarded)
        m_pThread->LoginAttempted(m_strPeerAddress, user, outcome);
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
