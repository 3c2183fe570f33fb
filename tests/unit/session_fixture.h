// A session that is not connected to anybody, with a server whose home
// folder is a fresh temporary folder: enough to drive the resolvers.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "server/connect_thread.h"
#include "server/ftp_server.h"

class SessionFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = std::filesystem::temp_directory_path() /
               ("lumbra-session-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(root);
        home = root / "home";
        std::filesystem::create_directories(home);
        ServerSettings settings;
        settings.m_strHomePath = home.string();
        server.SetSettings(settings);
        thread = std::make_shared<CVeskConnectThread>(&server, -1);
        session().SetHost(thread.get());
        session().SetCurrentDirectory("/");
    }

    void TearDown() override { std::filesystem::remove_all(root); }

    CVeskControlSocket& session() { return thread->m_ControlSocket; }

    void MakeFolder(const std::string& relative) { std::filesystem::create_directories(home / relative); }
    void MakeFile(const std::string& relative, const std::string& content = "x")
    {
        std::ofstream(home / relative) << content;
    }
    std::string Local(const std::string& relative) const { return (home / relative).string(); }

    std::filesystem::path root;
    std::filesystem::path home;
    CVeskFTPServer server;
    std::shared_ptr<CVeskConnectThread> thread;
};
