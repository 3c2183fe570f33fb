#include "app/server_control.h"

#include <QCoreApplication>

#include "platform/message_box.h"
#include "server/ftp_server.h"
#include "settings/adapter_wait.h"

ServerControl::ServerControl() = default;
ServerControl::~ServerControl() = default;

ServerControl& ServerControl::Instance()
{
    static ServerControl control;
    return control;
}

bool ServerControl::IsRunning() const
{
    return theServer.IsRunning();
}

ServerState ServerControl::State() const
{
    if (IsRunning())
        return ServerState::Serving;
    return IsWaitingForAdapter() ? ServerState::WaitingForAdapter : ServerState::Stopped;
}

std::string ServerControl::ToolTip() const
{
    return ServerStateToolTip(*theServer.Settings(), State());
}

bool ServerControl::Start()
{
    if (m_bBusy || IsWaitingForAdapter())
        return false;
    const auto settings = theServer.Settings();
    if (settings->m_strBindAddress.empty() && !settings->m_strAdapterName.empty()) {
        platform::ShowNotice(AdapterMissingNotice(*settings), platform::MessageIcon::Warning);
        m_pAdapterWait = std::make_unique<AdapterWait>(
            settings->m_strAdapterName, [this](const std::string& address) { OnAdapterAddress(address); });
        emit stateChanged();
        return false;
    }
    return StartListening();
}

bool ServerControl::StartListening()
{
    const StartResult started = theServer.Start();
    if (!started && !started.alreadyRunning) {
        const std::string program = QCoreApplication::applicationFilePath().toStdString();
        platform::ShowNotice(StartFailureNotice(*theServer.Settings(), started, program),
                             platform::MessageIcon::Warning);
    }
    emit stateChanged();
    return static_cast<bool>(started);
}

void ServerControl::OnAdapterAddress(const std::string& address)
{
    m_pAdapterWait.reset();
    ServerSettings settings = *theServer.Settings();
    settings.m_strBindAddress = address;
    theServer.SetSettings(settings);
    emit adapterAddressFound(QString::fromStdString(address));
    if (StartListening())
        platform::ShowNotice(AdapterFoundNotice(settings), platform::MessageIcon::Information);
}

void ServerControl::Stop()
{
    if (m_bBusy)
        return;
    if (m_pAdapterWait) {
        m_pAdapterWait.reset();
        emit stateChanged();
    }
    m_bBusy = true;
    emit stateChanged();
    theServer.Stop();
    m_bBusy = false;
    emit stateChanged();
}

void ServerControl::SetSettings(const ServerSettings& settings)
{
    theServer.SetSettings(settings);
    emit stateChanged();
}
