// A private world for the desktop tests: HOME and XDG_CONFIG_HOME in a
// temporary folder, a fixed adapter list, message boxes captured and
// answered, and helpers to store settings and find controls by id.
#pragma once

#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>
#include <deque>
#include <string>
#include <vector>

#include "app/server_control.h"
#include "platform/adapters.h"
#include "platform/message_box.h"
#include "settings/settings_store.h"

struct ShownMessage {
    std::string text;
    platform::MessageIcon icon;
    platform::MessageButtons buttons = platform::MessageButtons::Ok;
};

class GuiTestEnv {
public:
    GuiTestEnv()
    {
        qputenv("HOME", (m_dir.path() + "/home").toUtf8());
        qputenv("XDG_CONFIG_HOME", (m_dir.path() + "/config").toUtf8());
        SetAdapters({{"lo", "127.0.0.1"}, {"eth0", "192.168.0.10"}});
        platform::SetMessageBoxHandler([this](const std::string& text, platform::MessageIcon icon,
                                              platform::MessageButtons buttons) {
            messages.push_back({text, icon, buttons});
            if (buttons != platform::MessageButtons::YesNo)
                return platform::MessageResult::Ok;
            if (answers.empty())
                return platform::MessageResult::No;
            const platform::MessageResult answer = answers.front();
            answers.pop_front();
            return answer;
        });
    }

    ~GuiTestEnv()
    {
        ServerControl::Instance().Stop();
        platform::SetMessageBoxHandler({});
        platform::SetAdapterListOverride({});
    }

    QString Path(const QString& relative) const { return m_dir.path() + "/" + relative; }

    static void SetAdapters(std::vector<platform::AdapterInfo> list)
    {
        platform::SetAdapterListOverride([list](std::vector<platform::AdapterInfo>& out) {
            out = list;
            return true;
        });
    }

    // Stores `s` the way a save does; its messages are not kept.
    void Store(const LumbraSettings& s)
    {
        Vesk::CVeskCrypt crypt;
        QVERIFY(crypt.Initialize() == Vesk::CVeskCrypt::kReady);
        QVERIFY(EnsureSettingsKey());
        QVERIFY(RunSaveSequence(s, crypt, std::nullopt, true));
        messages.clear();
    }

    // Settings served on 127.0.0.1 at a free port, home in the temporary folder.
    LumbraSettings LocalSettings(int launchOnStartup) const
    {
        LumbraSettings s;
        s.m_bLaunchOnStartup = launchOnStartup;
        s.m_strIPAddress = "127.0.0.1";
        s.m_nPort = FreePort();
        s.m_strHomePath = Path("scans").toStdString();
        return s;
    }

    static int FreePort()
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        return probe.serverPort();
    }

    bool Shown(const std::string& text) const
    {
        for (const auto& m : messages) {
            if (m.text == text)
                return true;
        }
        return false;
    }

    // The texts of the tray notices shown so far, in order.
    std::vector<std::string> Notices() const
    {
        std::vector<std::string> texts;
        for (const auto& m : messages) {
            if (m.buttons == platform::MessageButtons::Notice)
                texts.push_back(m.text);
        }
        return texts;
    }

    std::vector<ShownMessage> messages;
    std::deque<platform::MessageResult> answers;

private:
    QTemporaryDir m_dir;
};

template <typename T>
T* Control(const QWidget& parent, int id)
{
    T* control = parent.findChild<T*>(QString::number(id));
    if (!control)
        qFatal("no control %d", id);
    return control;
}
