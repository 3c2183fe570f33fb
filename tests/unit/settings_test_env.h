// A private world for store tests: XDG_CONFIG_HOME and HOME point into a
// temporary folder, message boxes are captured instead of shown, and the
// adapter list is a fixed one. Everything is put back afterwards.
#pragma once

#include "platform/adapters.h"
#include "platform/message_box.h"
#include "platform/registry.h"
#include "platform/registry_files.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

struct CapturedMessage {
    std::string text;
    platform::MessageIcon icon;
};

class StoreTestEnv : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        m_savedConfig = SaveEnv("XDG_CONFIG_HOME");
        m_savedHome = SaveEnv("HOME");
        setenv("XDG_CONFIG_HOME", ConfigHome().c_str(), 1);
        setenv("HOME", HomeFolder().c_str(), 1);
        m_savedHandler = platform::SetMessageBoxHandler(
            [this](const std::string& text, platform::MessageIcon icon, platform::MessageButtons) {
                messages.push_back({text, icon});
                return platform::MessageResult::Ok;
            });
        SetAdapters({{"eth0", "192.168.0.10"}, {"wlan0", "10.0.0.5"}});
    }

    void TearDown() override
    {
        platform::SetMessageBoxHandler(m_savedHandler);
        platform::SetAdapterListOverride({});
        platform::SetBeforeReplaceHookForTesting({});
        RestoreEnv("XDG_CONFIG_HOME", m_savedConfig);
        RestoreEnv("HOME", m_savedHome);
    }

    std::string ConfigHome() const { return m_dir.path().toStdString() + "/config"; }
    std::string HomeFolder() const { return m_dir.path().toStdString() + "/home"; }
    std::string SettingsFile() const { return ConfigHome() + "/Tessaly/Lumbra.reg"; }
    std::string AutostartFile() const { return ConfigHome() + "/autostart/Lumbra.desktop"; }

    static void SetAdapters(std::vector<platform::AdapterInfo> list)
    {
        platform::SetAdapterListOverride([list](std::vector<platform::AdapterInfo>& out) {
            out = list;
            return true;
        });
    }

    static void SetNoAdapterList()
    {
        platform::SetAdapterListOverride([](std::vector<platform::AdapterInfo>&) { return false; });
    }

    static std::string ReadFile(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    static void WriteFile(const std::string& path, const std::string& content)
    {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    }

    std::vector<std::string> MessageTexts() const
    {
        std::vector<std::string> texts;
        for (const CapturedMessage& m : messages)
            texts.push_back(m.text);
        return texts;
    }

    std::vector<CapturedMessage> messages;

private:
    static std::optional<std::string> SaveEnv(const char* name)
    {
        const char* value = std::getenv(name);
        return value ? std::optional<std::string>(value) : std::nullopt;
    }

    static void RestoreEnv(const char* name, const std::optional<std::string>& value)
    {
        if (value)
            setenv(name, value->c_str(), 1);
        else
            unsetenv(name);
    }

    QTemporaryDir m_dir;
    std::optional<std::string> m_savedConfig, m_savedHome;
    platform::MessageBoxHandler m_savedHandler;
};

// Opens (creating if needed) a key of the test's store and closes it at the end.
class TestKey {
public:
    explicit TestKey(const std::string& subKey = "SOFTWARE\\Tessaly\\Lumbra",
                     std::uint32_t access = platform::KEY_READ | platform::KEY_WRITE)
    {
        status = platform::RegCreateKeyExA(platform::HKEY_CURRENT_USER, subKey, access, handle);
    }
    ~TestKey()
    {
        if (status == platform::ERROR_SUCCESS)
            platform::RegCloseKey(handle);
    }
    TestKey(const TestKey&) = delete;
    TestKey& operator=(const TestKey&) = delete;

    platform::RegStatus Set(const std::string& name, std::uint32_t type, const std::string& data) const
    {
        return platform::RegSetValueExA(handle, name, type, data.data(), static_cast<std::uint32_t>(data.size()));
    }
    platform::RegStatus SetText(const std::string& name, const std::string& text) const
    {
        return Set(name, platform::REG_SZ, std::string(text) + '\0');
    }
    platform::RegStatus SetDword(const std::string& name, std::uint32_t value) const
    {
        return Set(name, platform::REG_DWORD, std::string(reinterpret_cast<const char*>(&value), 4));
    }
    // Reads a whole value of any size; the status of the query.
    platform::RegStatus Get(const std::string& name, std::uint32_t& type, std::string& data) const
    {
        std::uint32_t size = 0;
        platform::RegStatus status = platform::RegQueryValueExA(handle, name, &type, nullptr, &size);
        if (status != platform::ERROR_SUCCESS)
            return status;
        data.assign(size, '\0');
        return platform::RegQueryValueExA(handle, name, &type, data.data(), &size);
    }

    platform::HKEY handle{};
    platform::RegStatus status = platform::ERROR_SUCCESS;
};
