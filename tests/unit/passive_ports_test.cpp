// The passive port range: its text form, its stored value, and the listener
// that takes a free port of it on the control connection's address.
#include "settings_test_env.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include "ftp/passive_listener.h"
#include "settings/passive_ports.h"
#include "settings/settings_keys.h"
#include "settings/settings_store.h"

namespace {

// A port of 127.0.0.1 held by a plain listening socket for the test.
class HeldPort {
public:
    HeldPort() : m_fd(::socket(AF_INET, SOCK_STREAM, 0))
    {
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_fd, reinterpret_cast<sockaddr*>(&at), sizeof at);
        ::listen(m_fd, 1);
        socklen_t length = sizeof at;
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&at), &length);
        port = ntohs(at.sin_port);
    }
    ~HeldPort() { ::close(m_fd); }
    int port = 0;

private:
    int m_fd;
};

bool PortIsFree(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<uint16_t>(port));
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0;
    ::close(fd);
    return bound;
}

TEST(PortRange, ParsesRangesAndSinglePortsAndRefusesTheRest)
{
    PortRange range;
    ASSERT_TRUE(ParsePortRange("50000-50100", range));
    EXPECT_EQ(range, (PortRange{50000, 50100}));
    ASSERT_TRUE(ParsePortRange("1024-65535", range));
    EXPECT_EQ(range, (PortRange{1024, 65535}));
    ASSERT_TRUE(ParsePortRange("60000", range));
    EXPECT_EQ(range, (PortRange{60000, 60000}));
    EXPECT_EQ(FormatPortRange(range), "60000-60000");
    EXPECT_EQ(FormatPortRange({}), "");
    for (const char* bad : {"", "-", "50100-50000", "1023-2000", "50000-65536", "50000-", "-50000", "+50000-50001",
                            "50000-50001-50002", " 50000-50001", "50000 -50001", "0x1000-0x2000", "99999999999-1"}) {
        range = {1, 1};
        EXPECT_FALSE(ParsePortRange(bad, range)) << bad;
        EXPECT_EQ(range, (PortRange{1, 1})) << bad;  // untouched
    }
}

TEST(PassiveListener, SkipsTakenPortsOfTheRangeAndFailsWhenAllAreTaken)
{
    HeldPort taken;
    const int freePort = taken.port + 1;
    if (freePort > 65535 || !PortIsFree(freePort))
        GTEST_SKIP() << "the neighbour of the taken port is in use";
    // Whatever the random start, the taken port is skipped.
    for (int round = 0; round < 8; ++round) {
        platform::AsyncSocket socket;
        ASSERT_TRUE(ListenOnPassivePort(socket, "127.0.0.1", {taken.port, freePort}));
        std::string address;
        int port = 0;
        ASSERT_TRUE(socket.GetSockName(address, port));
        EXPECT_EQ(port, freePort);
        EXPECT_EQ(address, "127.0.0.1");
    }
    platform::AsyncSocket socket;
    EXPECT_FALSE(ListenOnPassivePort(socket, "127.0.0.1", {taken.port, taken.port}));
    EXPECT_FALSE(socket.IsOpen());
}

TEST(PassiveListener, WithoutARangeTheSystemChoosesOnTheGivenAddress)
{
    platform::AsyncSocket socket;
    ASSERT_TRUE(ListenOnPassivePort(socket, "127.0.0.1", {}));
    std::string address;
    int port = 0;
    ASSERT_TRUE(socket.GetSockName(address, port));
    EXPECT_EQ(address, "127.0.0.1");
    EXPECT_GT(port, 0);
    EXPECT_FALSE(ListenOnPassivePort(socket, "not an address", {}));
}

// The same single port again and again, with connections of earlier
// transfers in TIME_WAIT.
TEST(PassiveListener, OnePortIsUsedAgainAfterItsConnectionsClosed)
{
    int port = 0;
    {
        HeldPort probe;
        port = probe.port;
    }
    for (int round = 0; round < 3; ++round) {
        platform::AsyncSocket listener;
        ASSERT_TRUE(ListenOnPassivePort(listener, "127.0.0.1", {port, port})) << round;
        const int client = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(port));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
        const int accepted = ::accept(listener.Handle(), nullptr, nullptr);
        ASSERT_GE(accepted, 0);
        ::close(accepted);  // the server side closes first: its end waits in TIME_WAIT
        ::close(client);
    }
}

class StoredPassivePorts : public StoreTestEnv {
protected:
    void SetUp() override
    {
        StoreTestEnv::SetUp();
        ASSERT_TRUE(EnsureSettingsKey());
    }
};

TEST_F(StoredPassivePorts, StoredRemovedAndABadValueIgnored)
{
    PortRange range{1, 1};
    EXPECT_TRUE(ReadStoredPassivePorts(range));
    EXPECT_FALSE(range.IsSet());
    ASSERT_EQ(StorePassivePorts({50000, 50100}), platform::ERROR_SUCCESS);
    EXPECT_TRUE(ReadStoredPassivePorts(range));
    EXPECT_EQ(range, (PortRange{50000, 50100}));

    LumbraSettings loaded;
    Vesk::CVeskCrypt crypt;
    ASSERT_TRUE(RunLoadSequence(loaded, crypt));
    EXPECT_EQ(loaded.m_PassivePorts, (PortRange{50000, 50100}));

    ASSERT_EQ(StorePassivePorts({}), platform::ERROR_SUCCESS);
    EXPECT_TRUE(ReadStoredPassivePorts(range));
    EXPECT_FALSE(range.IsSet());
    EXPECT_EQ(StorePassivePorts({}), platform::ERROR_SUCCESS);  // removing twice is fine

    TestKey key;
    ASSERT_EQ(key.SetText(settings_keys::kPassivePorts, "lots"), platform::ERROR_SUCCESS);
    EXPECT_FALSE(ReadStoredPassivePorts(range));
    EXPECT_FALSE(range.IsSet());
    loaded = {};
    EXPECT_TRUE(RunLoadSequence(loaded, crypt));  // never a reason to refuse the start
    EXPECT_FALSE(loaded.m_PassivePorts.IsSet());
    EXPECT_TRUE(messages.empty());
}

}  // namespace
