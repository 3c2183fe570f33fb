// SIGTERM and SIGINT (the desktop session ending, or Ctrl+C) turned into a
// signal on the main thread through a self-pipe, so the program can end in
// order: connections closed, icon removed.
#pragma once

#include <QObject>

class QSocketNotifier;

class TerminationWatcher : public QObject {
    Q_OBJECT
public:
    TerminationWatcher();
    ~TerminationWatcher() override;
    bool IsInstalled() const { return m_pNotifier != nullptr; }

signals:
    void terminationRequested();

private:
    QSocketNotifier* m_pNotifier = nullptr;
};
