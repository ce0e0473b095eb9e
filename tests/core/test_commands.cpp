#include "buslink/commands.h"

#include <gtest/gtest.h>

#include <string>

TEST(CommandNames, KnownCodesAndUnknownOutsideRange) {
    EXPECT_EQ(std::string(CommandName(FIND_DEVICE)), "FIND_DEVICE");
    EXPECT_EQ(std::string(CommandName(REMOTE_SYNCHRO_TIME)), "REMOTE_SYNCHRO_TIME");
    EXPECT_EQ(std::string(CommandName(0)), "UNKNOWN");
    EXPECT_EQ(std::string(CommandName(26)), "UNKNOWN");
    EXPECT_EQ(std::string(CommandName(255)), "UNKNOWN");
}
