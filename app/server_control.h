// Every start and stop of the server goes through here, so the tray menu's
// start and stop items follow the server's state whoever changed it.
#pragma once

#include <QObject>

class ServerControl : public QObject {
    Q_OBJECT
public:
    static ServerControl& Instance();

    // theServer's Start and Stop. Stop waits for the connection threads in a
    // nested event loop; a call that arrives meanwhile (from a menu, say) is
    // ignored instead of starting or stopping in the middle of it.
    bool Start();
    void Stop();

    bool IsRunning() const;
    bool IsBusy() const { return m_bBusy; }

signals:
    // After every Start or Stop, and when a Stop begins and ends.
    void stateChanged();

private:
    ServerControl() = default;
    bool m_bBusy = false;
};
