#include <string>

#include <gtest/gtest.h>

#include "popen_cmd.h"

using velmor_lic::KCProcStat;

namespace {

class ProcStatTest : public testing::Test {};

TEST_F(ProcStatTest, ParseTakesTheFourLeadingFields) {
    const struct {
        const char* line;
        const char* text;
    } cases[] = {
        {"1 (init) S 0", "pid:1,bin:init,state:S,ppid:0"},
        {"4321 (bash) S 4000 4321 4321 0 -1\n", "pid:4321,bin:bash,state:S,ppid:4000"},
        {"77 (my prog) S 1", "pid:77,bin:my,state:prog),ppid:0"},
        {"  5   (a)   R    6  ", "pid:5,bin:a,state:R,ppid:6"},
        {"5 ((x)) S 1", "pid:5,bin:x,state:S,ppid:1"},
        {"5 () S 1", "pid:5,bin:,state:S,ppid:1"},
        {"5 a(b)c S 1", "pid:5,bin:a(b)c,state:S,ppid:1"},
        {"abc (x) S 1", "pid:0,bin:x,state:S,ppid:1"},
        {"4294967297 (x) S -1", "pid:1,bin:x,state:S,ppid:4294967295"},
        {"3 (x) Z 2\tmore", "pid:3,bin:x,state:Z,ppid:2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        KCProcStat stat;
        EXPECT_TRUE(stat.Parse(c.line));
        EXPECT_EQ(stat.String(), c.text);
        EXPECT_STREQ(stat.getErr(), "");
    }
}

TEST_F(ProcStatTest, ParseFailsBelowFourFieldsAndKeepsEarlierValues) {
    const struct {
        const char* line;
        const char* err;
    } cases[] = {
        {"1 (a) S", "get buf is not valid ,size < 4,buf:1 (a) S"},
        {"", "get buf is not valid ,size < 4,buf:"},
        {"   ", "get buf is not valid ,size < 4,buf:   "},
        {nullptr, "get buf is not valid ,size < 4,buf:"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.err);
        KCProcStat stat;
        ASSERT_TRUE(stat.Parse("9 (keep) R 8"));
        EXPECT_FALSE(stat.Parse(c.line));
        EXPECT_STREQ(stat.getErr(), c.err);
        EXPECT_EQ(stat.String(), "pid:9,bin:keep,state:R,ppid:8");
    }
}

TEST_F(ProcStatTest, NewRecordPrintsEmptyFields) {
    KCProcStat stat;
    EXPECT_EQ(stat.String(), "pid:0,bin:,state:,ppid:0");
    EXPECT_EQ(stat.GetPpid(), 0);
}

TEST_F(ProcStatTest, AccessorsFollowTheLatestParse) {
    KCProcStat stat;
    ASSERT_TRUE(stat.Parse("1 (first) S 2"));
    const std::string& name = stat.GetbinName();
    ASSERT_TRUE(stat.Parse("3 (second) Z 4"));
    EXPECT_EQ(name, "second");
    EXPECT_EQ(stat.GetState(), "Z");
    EXPECT_EQ(stat.GetPpid(), 4);
}

}  // namespace
