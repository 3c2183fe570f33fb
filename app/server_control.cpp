#include "app/server_control.h"

#include "server/ftp_server.h"

ServerControl& ServerControl::Instance()
{
    static ServerControl control;
    return control;
}

bool ServerControl::IsRunning() const
{
    return theServer.IsRunning();
}

bool ServerControl::Start()
{
    if (m_bBusy)
        return false;
    const bool started = theServer.Start();
    emit stateChanged();
    return started;
}

void ServerControl::Stop()
{
    if (m_bBusy)
        return;
    m_bBusy = true;
    emit stateChanged();
    theServer.Stop();
    m_bBusy = false;
    emit stateChanged();
}
