// The dispatcher and the line assembler of one session, driven by hand: the
// session's control connection is one end of a 127.0.0.1 connection, a test
// host stands in for the connection thread, and each read is served by
// calling the session's receive handler directly.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <iterator>
#include <memory>
#include <string>
#include <thread>

#include "ftp/command_table.h"
#include "ftp/control_socket.h"
#include "ftp/replies.h"
#include "ftp/session_host.h"
#include "platform/message_queue.h"

namespace {

using namespace std::chrono_literals;

class TestHost : public SessionHost {
public:
    explicit TestHost(const std::string& home, bool anonymous = true)
    {
        ServerSettings s;
        s.m_strHomePath = home;
        s.m_strUserID = "scan";
        s.m_strPassword = "secret";
        s.m_bAnonymous = anonymous ? 1 : 0;
        m_settings = std::make_shared<const ServerSettings>(s);
    }
    std::shared_ptr<const ServerSettings> Settings() const override { return m_settings; }
    std::string GoodbyeMessage() const override { return "Bye"; }
    void Touch() override {}
    void MarkEnding() override {}
    void EndSession(int) override { ended = true; }
    void PostDiscard(unsigned) override {}
    void FileStored(const std::string&, uint64_t) override {}
    void UploadFailed(const std::string&) override {}
    platform::MessageQueue& Queue() override { return m_queue; }

    bool ended = false;

private:
    std::shared_ptr<const ServerSettings> m_settings;
    platform::MessageQueue m_queue;
};

// The receive handler is the session's entry point for bytes from the client.
class DrivenSession : public CVeskControlSocket {
public:
    using CVeskControlSocket::OnReceive;
};

// One session on a fresh 127.0.0.1 connection.
class Wired {
public:
    explicit Wired(TestHost& host)
    {
        platform::AsyncSocket listener;
        EXPECT_TRUE(listener.Create("127.0.0.1", 0) && listener.Listen(1));
        std::string address;
        int port = 0;
        listener.GetSockName(address, port);
        EXPECT_TRUE(m_client.Create("127.0.0.1") && m_client.Connect("127.0.0.1", port));
        int handle = -1;
        for (auto end = std::chrono::steady_clock::now() + 2s; handle < 0 && std::chrono::steady_clock::now() < end;)
            if ((handle = listener.Accept()) < 0)
                std::this_thread::sleep_for(1ms);
        EXPECT_TRUE(session.Attach(handle));
        session.SetHost(&host);
    }

    // Sends `bytes` as the client, serves the reads they make, and returns
    // the replies that came back (waiting for `lines` of them, 2 s at most).
    std::string Say(const std::string& bytes, int lines = 1)
    {
        EXPECT_TRUE(m_client.SendAll(bytes.data(), bytes.size(), 2000));
        // Loopback delivers at once; the wait only covers a slow scheduler.
        for (auto end = std::chrono::steady_clock::now() + 2s;
             session.BytesWaiting() <= 0 && std::chrono::steady_clock::now() < end;)
            std::this_thread::sleep_for(1ms);
        for (int reads = 0; reads < 64 && session.BytesWaiting() > 0; ++reads)
            session.OnReceive(0);
        return Replies(lines);
    }

    std::string Replies(int lines)
    {
        std::string replies;
        char buffer[4096];
        const auto end = std::chrono::steady_clock::now() + (lines > 0 ? 2000ms : 50ms);
        while (std::chrono::steady_clock::now() < end) {
            const ssize_t n = m_client.Receive(buffer, sizeof buffer);
            if (n > 0)
                replies.append(buffer, static_cast<size_t>(n));
            else
                std::this_thread::sleep_for(1ms);
            if (lines > 0 && CountLines(replies) >= lines)
                break;
        }
        return replies;
    }

    void LogIn()
    {
        Say("USER scan\r\n");
        ASSERT_EQ(Say("PASS x\r\n"), std::string(reply::kLoggedIn) + "\r\n");
    }

    DrivenSession session;

private:
    static int CountLines(const std::string& text)
    {
        int lines = 0;
        for (size_t at = 0; (at = text.find("\r\n", at)) != std::string::npos; at += 2)
            ++lines;
        return lines;
    }

    platform::AsyncSocket m_client;
};

class SessionDispatch : public ::testing::Test {
protected:
    void TearDown() override { std::filesystem::remove_all(home); }

    const std::filesystem::path home = std::filesystem::temp_directory_path() /
                                       ("lumbra-dispatch-" + std::to_string(::getpid()));
    TestHost host{home.string()};
};

const std::string kLoginFirst = std::string(reply::kLoginFirst) + "\r\n";
const std::string kNotSupported = std::string(reply::kNotSupported) + "\r\n";
const std::string kOk = std::string(reply::kOk) + "\r\n";

// Written out here, not read from the command table, so that a verb marked
// there as needing no login is caught: every verb but USER and PASS.
TEST_F(SessionDispatch, EveryVerbButUserAndPassAnswersTheLoginReplyBeforeLogin)
{
    const std::string gated[] = {"QUIT", "BYE", "TYPE I", "PWD", "CWD /", "CDUP", "RNFR a", "RNTO b",
                                 "DELE a", "MKD a", "RMD a", "PORT 127,0,0,1,4,1", "PASV", "EPSV",
                                 "NLST", "LIST", "STOR a", "ABOR", "SYST", "NOOP", "OPTS UTF8 ON"};
    ASSERT_EQ(std::size(gated) + 2, CommandTable::kEntries.size()) << "a new verb belongs in this list";
    TestHost named(home.string(), false);
    Wired wired(named);
    // Before any name, and with the name given but no password yet.
    for (const bool nameGiven : {false, true}) {
        if (nameGiven) {
            ASSERT_EQ(wired.Say("USER scan\r\n"), reply::PasswordRequired("scan") + "\r\n");
        }
        for (const std::string& line : gated)
            EXPECT_EQ(wired.Say(line + "\r\n"), kLoginFirst) << line;
    }
    EXPECT_EQ(wired.Say("PASS secret\r\n"), std::string(reply::kLoggedIn) + "\r\n");
    EXPECT_FALSE(named.ended);
}

TEST_F(SessionDispatch, NoListedVerbIsUnsupportedAfterLogin)
{
    for (const CommandTable::Entry& entry : CommandTable::kEntries) {
        Wired wired(host);  // a fresh session each: some verbs end it or prepare a transfer
        wired.LogIn();
        const std::string replies = wired.Say(std::string(entry.verb) + "\r\n");
        EXPECT_FALSE(replies.empty()) << entry.verb;
        EXPECT_NE(replies.substr(0, 4), "502 ") << entry.verb;
    }
}

TEST_F(SessionDispatch, VerbsOutsideTheTableAreUnsupported)
{
    Wired wired(host);
    wired.LogIn();
    for (const char* line : {"RETR x", "SIZE x", "FEAT", "APPE x", "XMKD x", "HELP", "", " NOOP", "NOOP2"}) {
        EXPECT_EQ(CommandTable::Find(CommandVerb(line)), nullptr) << line;
        EXPECT_EQ(wired.Say(std::string(line) + "\r\n"), kNotSupported) << line;
    }
}

TEST_F(SessionDispatch, ALineSplitOverReadsIsServedOnceItsCrLfIsComplete)
{
    Wired wired(host);
    wired.LogIn();
    EXPECT_EQ(wired.Say("NO", 0), "");
    EXPECT_EQ(wired.Say("OP\r", 0), "");
    EXPECT_EQ(wired.Say("\n"), kOk);
    // A bare LF or CR does not end a line.
    EXPECT_EQ(wired.Say("NOOP\nNOOP\r", 0), "");
    EXPECT_EQ(wired.Say("\n"), kNotSupported);
    // Two lines in one read are both served, in their order.
    EXPECT_EQ(wired.Say("NOOP\r\nSYST\r\n", 2), kOk + reply::kSystem + "\r\n");
}

TEST_F(SessionDispatch, ANulByteDropsTheRestOfItsRead)
{
    Wired wired(host);
    wired.LogIn();
    EXPECT_EQ(wired.Say(std::string("NO\0OP\r\nSYST\r\n", 13), 0), "");
    EXPECT_EQ(wired.Say("OP\r\n"), kOk);
}

TEST_F(SessionDispatch, ALineLongerThanTheLimitIsDroppedWithOneReply)
{
    Wired wired(host);
    wired.LogIn();
    const size_t limit = CVeskControlSocket::kMaxLineLength;
    // Exactly at the limit a line still counts, as an unknown verb.
    EXPECT_EQ(wired.Say(std::string(limit, 'A'), 0), "");
    EXPECT_EQ(wired.Say("\r\n"), kNotSupported);
    // One byte more and it is refused once; the rest of it up to its CR LF
    // is dropped, and the next line is served.
    EXPECT_EQ(wired.Say(std::string(limit + 1, 'A')), std::string(reply::kLineTooLong) + "\r\n");
    EXPECT_EQ(wired.Say(std::string(3 * limit, 'A'), 0), "");
    EXPECT_EQ(wired.Say("AAAA\r\nNOOP\r\n"), kOk);
}

}  // namespace
