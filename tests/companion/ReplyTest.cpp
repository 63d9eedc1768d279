// The helper's handling of modem replies, compiled for the host.
#include "Reply.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Lines {
    std::vector<std::string> taken;
    std::string kept;
};

Lines Take(ReplyBuffer& buffer) {
    static char lines[REPLY_MAX_LINES][REPLY_LINE_SIZE];
    int count = reply_take_lines(&buffer, lines);
    Lines result;
    for (int i = 0; i < count; ++i)
        result.taken.emplace_back(lines[i]);
    result.kept.assign(buffer.data, buffer.length);
    return result;
}

ReplyBuffer Filled(const std::string& text) {
    ReplyBuffer buffer{};
    EXPECT_TRUE(reply_append(&buffer, text.data(), text.size()));
    return buffer;
}

}  // namespace

TEST(ReplyLines, CompleteLinesAreTakenAndTheUnfinishedTailIsKept) {
    ReplyBuffer buffer = Filled("\r\n352099001761481\r\n\r\nOK\r\n+CME");
    Lines first = Take(buffer);
    EXPECT_EQ(first.taken, (std::vector<std::string>{"352099001761481", "OK"}));
    EXPECT_EQ(first.kept, "+CME");
}

TEST(ReplyLines, AReplySplitAcrossPollsIsNotTorn) {
    ReplyBuffer buffer = Filled("\r\n3520990");
    EXPECT_TRUE(Take(buffer).taken.empty());
    ASSERT_TRUE(reply_append(&buffer, "01761481\r\n", 10));
    EXPECT_EQ(Take(buffer).taken, std::vector<std::string>{"352099001761481"});
    EXPECT_EQ(buffer.length, 0u);
}

TEST(ReplyLines, AtMostTwentyLinesOfAtMost255Characters) {
    std::string text = std::string(300, 'x') + "\n";
    for (int i = 1; i < 25; ++i)
        text += "line" + std::to_string(i) + "\r";
    ReplyBuffer buffer = Filled(text);
    Lines lines = Take(buffer);
    ASSERT_EQ(lines.taken.size(), 20u);
    EXPECT_EQ(lines.taken[0], std::string(255, 'x'));
    EXPECT_EQ(lines.taken[19], "line19");
    EXPECT_TRUE(lines.kept.empty());  // the dropped lines are gone too
}

TEST(ReplyLines, ABufferFilledWithoutALineEndCountsAsALine) {
    // Otherwise the reader could never append again and every poll would stay empty.
    ReplyBuffer buffer = Filled(std::string(REPLY_BUFFER_LIMIT, '7'));
    Lines lines = Take(buffer);
    ASSERT_EQ(lines.taken.size(), 1u);
    EXPECT_EQ(lines.taken[0], std::string(255, '7'));
    EXPECT_EQ(buffer.length, 0u);
}

TEST(ReplyBuffer, AChunkThatWouldPassTheLimitIsDropped) {
    ReplyBuffer buffer = Filled(std::string(1000, 'a'));
    EXPECT_FALSE(reply_append(&buffer, std::string(23, 'b').data(), 23));
    EXPECT_EQ(buffer.length, 1000u);
    EXPECT_TRUE(reply_append(&buffer, std::string(22, 'c').data(), 22));
    EXPECT_EQ(buffer.length, 1022u);
}

TEST(ReplyJudge, FirstLineVerdicts) {
    struct Case {
        const char* line;
        ReplyVerdict verdict;
        const char* value;
    } cases[] = {
        {"352099001761481", REPLY_VALUE, "352099001761481"},
        {"+CNVM: 083A25900910674118", REPLY_VALUE, "352099001761481"},
        {"+CNVM: 352099001761481", REPLY_VALUE, "352099001761481"},  // already plain
        {"+CNVM: 0123456789AB", REPLY_LENGTH_ERROR, ""},
        {"+CNVM: ", REPLY_LENGTH_ERROR, ""},
        {"+CNVM: not found", REPLY_LENGTH_ERROR, ""},  // the tag is judged first
        {"NV item not found", REPLY_NOT_FOUND, ""},
        {"+CME ERROR: 10", REPLY_ERROR, ""},
        {"ERROR", REPLY_ERROR, ""},
        {"OK", REPLY_VALUE, "OK"},
    };
    for (const Case& c : cases) {
        char value[REPLY_LINE_SIZE];
        EXPECT_EQ(reply_judge(c.line, value), c.verdict) << c.line;
        EXPECT_STREQ(value, c.value) << c.line;
    }
}

TEST(ReplyJudge, StoredFormDigitOrder) {
    char imei[IMEI_LENGTH + 1];
    reply_imei_from_stored("08xA1032547698BADC", imei);
    EXPECT_STREQ(imei, "x0123456789ABCD");
}
