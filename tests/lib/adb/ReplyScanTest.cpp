#include "ReplyScan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using RYL::ScanReply;

struct ScanCase {
    std::wstring text;
    std::wstring pattern;
    std::vector<std::wstring> fields;
};

TEST(ReplyScan, ReadsFieldsLikeScanf)
{
    const ScanCase cases[] = {
        {L"adb: error: no device\n", L"%[^:]: %[^\n]", {L"adb", L"error: no device"}},
        // A blank in the pattern matches a run of white space, or none at all.
        {L"a:b", L"%[^:]: %[^\n]", {L"a", L"b"}},
        {L"a:  \r\n\t b", L"%[^:]: %[^\n]", {L"a", L"b"}},
        // A set field takes at least one character.
        {L":b", L"%[^:]: %[^\n]", {}},
        {L"one line", L"%[^\n]\n%[^\n]", {L"one line"}},
        {L"one\r\ntwo\r\nthree", L"%[^\n]\n%[^\n]\n%[^\n]", {L"one\r", L"two\r", L"three"}},
        // A ']' right after '^' belongs to the set.
        {L"Failure [INSTALL_FAILED_OLDER_SDK]", L"Failure [%[^]]]", {L"INSTALL_FAILED_OLDER_SDK"}},
        {L"Failure INSTALL", L"Failure [%[^]]]", {}},
        // Reading stops at the first literal that does not match.
        {L"x'y", L"%[^']'%[^']'", {L"x", L"y"}},
        {L"x y", L"%[^']'%[^']'", {L"x y"}},
        {L"100% done", L"%[^%]%% %[^\n]", {L"100", L"done"}},
        {L"", L"%[^\n]", {}},
    };
    for (const ScanCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "text: " << std::string(c.text.begin(), c.text.end()));
        const RYL::ReplyScan scan = ScanReply(c.text, c.pattern);
        EXPECT_EQ(scan.count, static_cast<int>(c.fields.size()));
        EXPECT_EQ(scan.fields, c.fields);
    }
}

TEST(ReplyScan, ReadsUnsignedNumbers)
{
    struct NumberCase {
        std::wstring text;
        int count;
        uint32_t value;
    };
    const NumberCase cases[] = {
        {L"port 5037 *", 1, 5037},
        {L"port   \n42", 1, 42},
        {L"port +7", 1, 7},
        {L"port 4294967295", 1, 4294967295u},
        {L"port 4294967296", 0, 0},  // beyond 32 bits
        {L"port x", 0, 0},
        {L"port", 0, 0},
    };
    for (const NumberCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "text: " << std::string(c.text.begin(), c.text.end()));
        const RYL::ReplyScan scan = ScanReply(c.text, L"port %lu");
        ASSERT_EQ(scan.count, c.count);
        if (c.count == 1) {
            ASSERT_EQ(scan.numbers.size(), 1u);
            EXPECT_EQ(scan.numbers[0], c.value);
        }
    }
}

TEST(ReplyScan, CutsLongFieldsAtTheBoundAndReadsOn)
{
    const std::wstring name(RYL::kReplyFieldChars + 5000, L'n');
    const RYL::ReplyScan scan = ScanReply(name + L": the rest\n", L"%[^:]: %[^\n]");
    ASSERT_EQ(scan.count, 2);
    EXPECT_EQ(scan.fields[0], name.substr(0, RYL::kReplyFieldChars));
    EXPECT_EQ(scan.fields[1], L"the rest");

    const RYL::ReplyScan small = ScanReply(L"abcdef|gh", L"%[^|]|%[^|]", 3);
    ASSERT_EQ(small.count, 2);
    EXPECT_EQ(small.fields[0], L"abc");
    EXPECT_EQ(small.fields[1], L"gh");
}

}  // namespace
