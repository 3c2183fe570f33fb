// PORT arguments: six decimal fields, nothing else.
#include <gtest/gtest.h>

#include "ftp/port_argument.h"

TEST(PortArgument, SixFieldsGiveTheHostAndPort)
{
    std::string host;
    int port = 0;
    ASSERT_TRUE(ParsePortArgument("127,0,0,1,4,1", host, port));
    EXPECT_EQ(host, "127.0.0.1");
    EXPECT_EQ(port, 1025);
    ASSERT_TRUE(ParsePortArgument("10,0,0,255,255,255", host, port));
    EXPECT_EQ(host, "10.0.0.255");
    EXPECT_EQ(port, 65535);
}

TEST(PortArgument, AnythingButDigitsAndCommasIsRefusedAndChangesNothing)
{
    for (const char* bad : {"127,-0,0,1,4,1", "127,+0,0,1,4,1", "127, 0,0,1,4,1", "127,0,0,1,4,1 ",
                            "127,0,0,1,256,1", "127,0,0,1,4", "1,2,3,4,5,6,7", ",,,,,", "",
                            "127,0,0,1,4,1,", "0x7f,0,0,1,4,1", "99999999999,0,0,1,4,1"}) {
        std::string host = "kept";
        int port = -7;
        EXPECT_FALSE(ParsePortArgument(bad, host, port)) << bad;
        EXPECT_EQ(host, "kept") << bad;
        EXPECT_EQ(port, -7) << bad;
    }
}
