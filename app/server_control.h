// Every start and stop of the server, and every change of its settings,
// goes through here: the tray menu's items and tooltip follow the server's
// state whoever changed it, and a start that cannot listen says why.
#pragma once

#include <QObject>
#include <memory>
#include <string>

#include "app/server_notices.h"
#include "server/server_settings.h"

class AdapterWait;

class ServerControl : public QObject {
    Q_OBJECT
public:
    static ServerControl& Instance();

    // theServer's Start and Stop. Stop waits for the connection threads in a
    // nested event loop; a call that arrives meanwhile (from a menu, say) is
    // ignored instead of starting or stopping in the middle of it.
    // A start that fails shows a notice with the cause and the remedy. When
    // the stored adapter has no address, Start notices that and waits for
    // the address, starting on it when it comes; Stop ends the wait.
    bool Start();
    void Stop();
    // The settings in force from now on (SetSettingsToServer).
    void SetSettings(const ServerSettings& settings);

    bool IsRunning() const;
    bool IsWaitingForAdapter() const { return m_pAdapterWait != nullptr; }
    bool IsBusy() const { return m_bBusy; }
    ServerState State() const;
    std::string ToolTip() const;

signals:
    // After every Start, Stop and SetSettings, and when a Stop begins and ends.
    void stateChanged();
    // The adapter waited for has got `address`; the server is starting on it.
    void adapterAddressFound(const QString& address);

private:
    ServerControl();
    ~ServerControl() override;
    bool StartListening();
    void OnAdapterAddress(const std::string& address);

    bool m_bBusy = false;
    std::unique_ptr<AdapterWait> m_pAdapterWait;
};
