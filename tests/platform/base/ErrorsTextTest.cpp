#include "Errors.h"
#include "Text.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

bool EndsWithCrLf(const std::wstring& t) {
    return t.size() > 2 && t.compare(t.size() - 2, 2, L"\r\n") == 0;
}

}  // namespace

TEST(Errors, EveryCodeHasItsOwnTextEndingInCrLf) {
    const uint32_t codes[] = {
        plat::kErrorSuccess, plat::kErrorFileNotFound, plat::kErrorPathNotFound,
        plat::kErrorTooManyOpenFiles, plat::kErrorAccessDenied, plat::kErrorInvalidHandle,
        plat::kErrorNotEnoughMemory, plat::kErrorWriteFault, plat::kErrorReadFault,
        plat::kErrorGenFailure, plat::kErrorSharingViolation, plat::kErrorHandleEof,
        plat::kErrorFileExists, plat::kErrorInvalidParameter, plat::kErrorBrokenPipe,
        plat::kErrorDiskFull, plat::kErrorInsufficientBuffer, plat::kErrorDirNotEmpty,
        plat::kErrorAlreadyExists, plat::kErrorBadExeFormat, plat::kErrorFilenameTooLong,
        plat::kErrorNoData, plat::kWaitTimeout, plat::kErrorNoMoreItems, plat::kErrorDirectory,
        plat::kErrorDirectoryNotSupported,
        plat::kErrorCancelled, plat::kErrorInstallFailure, plat::kEFail,
    };
    for (uint32_t code : codes) {
        std::wstring text;
        EXPECT_TRUE(plat::SystemErrorText(code, text)) << code;
        EXPECT_TRUE(EndsWithCrLf(text)) << code;
    }
}

TEST(Errors, UnknownCodesLeaveTheTextAlone) {
    std::wstring text = L"kept";
    EXPECT_FALSE(plat::SystemErrorText(99999, text));
    EXPECT_FALSE(plat::SystemErrorText(12002, text));  // an internet code is not a system one
    EXPECT_FALSE(plat::ModuleMessageText(L"wininet.dll", 2, text));
    EXPECT_FALSE(plat::ModuleMessageText(L"kernel32.dll", 12002, text));
    EXPECT_FALSE(plat::ModuleMessageText(L"", 12002, text));
    EXPECT_EQ(text, L"kept");
}

TEST(Errors, InternetCodes) {
    std::vector<uint32_t> codes;
    for (uint32_t c = 12001; c <= 12057; ++c) codes.push_back(c);
    for (uint32_t c : {12110u, 12111u}) codes.push_back(c);
    for (uint32_t c = 12150; c <= 12157; ++c) codes.push_back(c);
    for (uint32_t code : codes) {
        std::wstring text;
        EXPECT_TRUE(plat::ModuleMessageText(L"wininet.dll", code, text)) << code;
        EXPECT_TRUE(EndsWithCrLf(text)) << code;
    }
    std::wstring text;
    ASSERT_TRUE(plat::ModuleMessageText(L"WININET.DLL", 12002, text));
    EXPECT_NE(text.find(L"timed out"), std::wstring::npos);
}

TEST(Errors, ErrnoMapping) {
    struct Case {
        int err;
        uint32_t code;
    } cases[] = {
        {0, plat::kErrorSuccess},           {ENOENT, plat::kErrorFileNotFound},
        {ENOTDIR, plat::kErrorPathNotFound}, {EACCES, plat::kErrorAccessDenied},
        {EPERM, plat::kErrorAccessDenied},  {EEXIST, plat::kErrorFileExists},
        {EINVAL, plat::kErrorInvalidParameter}, {ENOSPC, plat::kErrorDiskFull},
        {EPIPE, plat::kErrorBrokenPipe},    {ENOEXEC, plat::kErrorBadExeFormat},
        {ENOMEM, plat::kErrorNotEnoughMemory}, {ENOTEMPTY, plat::kErrorDirNotEmpty},
        {ENAMETOOLONG, plat::kErrorFilenameTooLong}, {EMFILE, plat::kErrorTooManyOpenFiles},
        {EXDEV, plat::kErrorGenFailure},    {EISDIR, plat::kErrorDirectoryNotSupported},
    };
    for (const Case& c : cases) EXPECT_EQ(plat::CodeFromErrno(c.err), c.code) << c.err;
}

TEST(Text, Utf8RoundTrip) {
    const std::wstring samples[] = {L"", L"plain", L"caf\u00e9 \u20ac", L"\U0001F600 x"};
    for (const std::wstring& s : samples) EXPECT_EQ(plat::WideFromNarrow(plat::NarrowFromWide(s)), s);
    EXPECT_EQ(plat::NarrowFromWide(L"\u00e9"), "\xC3\xA9");
}

TEST(Text, InvalidUtf8BecomesReplacement) {
    struct Case {
        std::string bytes;
        std::wstring text;
    } cases[] = {
        {"a\xE9z", L"a\uFFFDz"},          // Latin-1 byte
        {"\xC3", L"\uFFFD"},              // cut short
        {"\xC0\xAF", L"\uFFFD\uFFFD"},    // overlong
        {"\xED\xA0\x80", L"\uFFFD\uFFFD\uFFFD"},  // surrogate
        {"\xE2\x82z", L"\uFFFDz"},
    };
    for (const Case& c : cases) EXPECT_EQ(plat::WideFromNarrow(c.bytes), c.text);
}

TEST(Text, LeadByteOnlyInTheDoubleByteTestMode) {
    for (int b = 0; b < 256; ++b) EXPECT_FALSE(plat::IsAnsiLeadByte(static_cast<unsigned char>(b)));
    plat::SetDoubleByteCodePageForTesting(true);
    EXPECT_FALSE(plat::IsAnsiLeadByte(0x41));
    EXPECT_FALSE(plat::IsAnsiLeadByte(0x80));
    EXPECT_TRUE(plat::IsAnsiLeadByte(0x81));
    EXPECT_TRUE(plat::IsAnsiLeadByte(0xFE));
    EXPECT_FALSE(plat::IsAnsiLeadByte(0xFF));
    plat::SetDoubleByteCodePageForTesting(false);
    EXPECT_FALSE(plat::IsAnsiLeadByte(0x81));
}

TEST(Text, Utf16) {
    EXPECT_EQ(plat::Utf16FromWide(L"a\u00e9\U0001F600"), (std::u16string{u'a', 0xE9, 0xD83D, 0xDE00}));
    EXPECT_EQ(plat::WideFromUtf16(std::u16string{u'a', 0xD83D, 0xDE00}), L"a\U0001F600");
    EXPECT_EQ(plat::WideFromUtf16(std::u16string{0xDC00, u'b'}), L"\uFFFDb");
    EXPECT_EQ(plat::Utf16LeBytes(L"A\u00e9"), std::string("A\0\xE9\0", 4));
}
