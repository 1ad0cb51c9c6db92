#include "lic_func.h"

#include <gtest/gtest.h>

#include <climits>
#include <cwchar>
#include <random>
#include <string>
#include <vector>

namespace {

using velmor_lic::lps_func;
using velmor_lic::Split_KMP;
using velmor_lic::string_sprintf;
using velmor_lic::Tokenize;
using velmor_lic::Trim;
using Pieces = std::vector<std::string>;

// The plain way to cut at non-overlapping occurrences from the left.
Pieces SplitWithFind(const std::string& text, const std::string& sep) {
    Pieces pieces;
    size_t start = 0;
    for (size_t pos; (pos = text.find(sep, start)) != std::string::npos; start = pos + sep.size()) {
        pieces.push_back(text.substr(start, pos - start));
    }
    if (start < text.size()) pieces.push_back(text.substr(start));
    return pieces;
}

TEST(Trim, StripsTheSetFromBothEnds) {
    struct Case {
        std::string text, set, expected;
    };
    const Case cases[] = {
        {"(bash)", "()", "bash"},
        {"((a)b))", "()", "a)b"},
        {"()", "()", ""},
        {"", " ", ""},
        {"  a b  ", " ", "a b"},
        {"abc", "", "abc"},
        {"abc", ")(()", "abc"},
        {std::string("\0x\0", 3), std::string("\0", 1), "x"},
        {"\xff\x80z\xff", "\xff", "\x80z"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("text \"" + c.text + "\" set \"" + c.set + "\"");
        EXPECT_EQ(Trim(c.text, c.set), c.expected);
    }
}

TEST(Tokenize, CutsAtTheDelimiter) {
    struct Case {
        std::string text;
        const char* delim;
        Pieces expected;
    };
    const Case cases[] = {
        {"a,,b", ",", {"a", "b"}},
        {",a,b,", ",", {"a", "b"}},
        {"  a  b ", " ", {"a", "b"}},
        {"", ",", {}},
        {"abc", "", {"abc"}},
        {"a::b", "::", {"a", "b"}},
        {"::a::::b::", "::", {"", "a", "", "b"}},
        {"abab", "ab", {"", ""}},
        {"x---y", "--", {"x", "-y"}},
        {"aaaa", "aa", {"", ""}},
        {"ab", "abc", {"ab"}},
        {"::", "::", {""}},
        {"", "::", {}},
        {std::string("a\0b\xe9", 4), "\xe9", {std::string("a\0b", 3)}},
        {std::string("\0\0x", 3), ",", {std::string("\0\0x", 3)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("text \"" + c.text + "\" delimiter \"" + c.delim + "\"");
        EXPECT_EQ(Tokenize(c.text, c.delim), c.expected);
    }
}

TEST(Tokenize, SplitsProcStatLine) {
    const Pieces fields = Tokenize("1234 (my prog) S 1 1234", " ");
    ASSERT_EQ(fields.size(), 6u);
    EXPECT_EQ(Trim(fields[1], "()"), "my");
    EXPECT_EQ(fields[3], "S");
}

TEST(LpsFunc, BuildsTheFailureTable) {
    struct Case {
        std::string sep;
        std::vector<int> expected;
    };
    const Case cases[] = {
        {"aabaaab", {0, 1, 0, 1, 2, 2, 3}},
        {"abab", {0, 0, 1, 2}},
        {"aaaa", {0, 1, 2, 3}},
        {"abcabd", {0, 0, 0, 1, 2, 0}},
        {"a", {0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sep);
        std::vector<int> lps(c.sep.size(), -1);
        lps_func(c.sep, lps);
        EXPECT_EQ(lps, c.expected);
    }
}

TEST(LpsFunc, LeavesEntriesBeyondTheSeparatorAndEnlargesAShortTable) {
    std::vector<int> lps(4, 7);
    lps_func("", lps);
    EXPECT_EQ(lps, (std::vector<int>{0, 7, 7, 7}));
    lps_func("aa", lps);
    EXPECT_EQ(lps, (std::vector<int>{0, 1, 7, 7}));

    std::vector<int> short_table;
    lps_func("abab", short_table);
    EXPECT_EQ(short_table, (std::vector<int>{0, 0, 1, 2}));
}

TEST(SplitKmp, AppendsBehindEarlierPieces) {
    Pieces result{"kept"};
    Split_KMP("--", "a--b", result);
    EXPECT_EQ(result, (Pieces{"kept", "a", "b"}));
}

TEST(SplitKmp, EmptySeparatorGivesTheWholeText) {
    Pieces result;
    Split_KMP("", "abc", result);
    EXPECT_EQ(result, Pieces{"abc"});
    Split_KMP("", "", result);
    EXPECT_EQ(result, Pieces{"abc"});
}

TEST(SplitKmp, MatchesAFindLoopOnRandomTexts) {
    std::mt19937 rng(20261208);
    const std::string alphabet("ab\0\xff", 4);
    auto random_text = [&](size_t max_len) {
        std::string s(rng() % (max_len + 1), 'a');
        for (char& c : s) c = alphabet[rng() % alphabet.size()];
        return s;
    };
    for (int round = 0; round < 20000; ++round) {
        const std::string text = random_text(40);
        std::string sep = random_text(5);
        if (sep.empty()) sep = "a";
        Pieces got;
        Split_KMP(sep, text, got);
        ASSERT_EQ(got, SplitWithFind(text, sep)) << "round " << round;
    }
}

TEST(StringSprintf, FormatsTheWholeExpansion) {
    const std::string big(5000, 'q');
    EXPECT_EQ(string_sprintf("<%s>", big.c_str()), "<" + big + ">");
    EXPECT_EQ(string_sprintf("%s", ""), "");
    EXPECT_EQ(string_sprintf("%d:%s", 42, "x"), "42:x");
    EXPECT_EQ(string_sprintf("a%cb", 0), "a");
    // Without arguments "%%" is still "%", and nothing else converts.
    EXPECT_EQ(string_sprintf("100%% plain"), "100% plain");
    EXPECT_EQ(string_sprintf("%s%d %"), "%s%d %");
}

TEST(StringSprintfDeathTest, UnmeasurableFormatStopsTheProcess) {
    // A wide character the C locale cannot convert makes snprintf fail.
    const wchar_t bad[] = {0x100, 0};
    EXPECT_DEATH(string_sprintf("%ls", bad), "length >= 0");
}

}  // namespace
