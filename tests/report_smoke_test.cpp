#include <gtest/gtest.h>

#include <cstdlib>

TEST(MachineInfoBinary, ExitsWithStatusZero) {
    EXPECT_EQ(std::system(MACHINE_INFO_PATH " ignore_scan_blk >/dev/null"), 0);
}
