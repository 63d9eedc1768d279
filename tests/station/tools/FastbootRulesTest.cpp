#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "FastbootCommands.h"
#include "PackageFiles.h"

TEST(FastbootRules, FailureLine)
{
    struct Case { const wchar_t* output; bool exactCase; bool fails; const wchar_t* line; };
    const Case cases[] = {
        {L"FAILED (remote: command not allowed)\r\nfinished. total time: 0.001s\r\n", false, true,
         L"FAILED (remote: command not allowed)"},
        {L"sending 'all'...\nFAILED (remote: 'bad image')\nfastboot: error: Command failed\n", false,
         true, L"FAILED (remote: 'bad image')"},
        {L"fastboot: error: cannot load 'x.img'\n", false, true, L"error: cannot load 'x.img'"},
        {L"fastboot: error: cannot load 'x.img'\n", true, false, L""},
        {L"failed to write\n", false, true, L"failed to write"},
        {L"failed to write\n", true, false, L""},
        {L"an ERROR first, then FAILED late\n", false, true, L"FAILED late"},
        {L"OKAY [  0.010s]\nfinished. total time: 0.010s\n", false, false, L""},
        {L"all done, FAILED at the end without line feed  \t", true, true, L"FAILED at the end without line feed"},
        {L"", false, false, L""},
    };
    for (const Case& c : cases) {
        std::wstring line;
        EXPECT_EQ(FindFastbootFailure(c.output, c.exactCase, line), c.fails) << c.output;
        EXPECT_EQ(line, c.line) << c.output;
    }
}

// The scan over a stream finds what FindFastbootFailure finds in the whole text, however the bytes
// are cut into pieces, and past any length.
TEST(FastbootRules, FailureScanOfAStream)
{
    const std::string outputs[] = {
        "FAILED (remote: command not allowed)\r\nfinished. total time: 0.001s\r\n",
        "fastboot: error: cannot load 'x.img'\n",
        "an ERROR first, then FAILED late\n",
        "an eRRor first, then faILed late",
        "OKAY [  0.010s]\nfinished. total time: 0.010s\n",
        "FAILE\nD ERRO R\n",
        "xxFAILFAILED!\n",
        "",
    };
    for (const std::string& output : outputs) {
        std::wstring expected;
        const bool fails = FindFastbootFailure(std::wstring(output.begin(), output.end()), false, expected);
        for (size_t piece = 1; piece <= output.size() + 1; ++piece) {
            OutputFailureScan scan;
            for (size_t at = 0; at < output.size(); at += piece)
                scan.Add(output.data() + at, std::min(piece, output.size() - at));
            std::wstring line;
            EXPECT_EQ(scan.Failure(line), fails) << output << " in pieces of " << piece;
            EXPECT_EQ(line, fails ? expected : L"") << output << " in pieces of " << piece;
        }
    }

    OutputFailureScan scan;
    const std::string block(1 << 20, 'x');
    for (int i = 0; i < 17; ++i) scan.Add(block.data(), block.size());
    std::wstring line;
    EXPECT_FALSE(scan.Failure(line));
    const std::string late = "\nflash: FAILED (remote: late)\r\nfinished\n  \n";
    scan.Add(late.data(), late.size());
    EXPECT_TRUE(scan.Failure(line));
    EXPECT_EQ(line, L"FAILED (remote: late)");
    EXPECT_EQ(scan.LastLine(), L"finished");
}

TEST(FastbootRules, BuildVersion)
{
    struct Case { const wchar_t* output; const wchar_t* version; };
    const Case cases[] = {
        {L"...\n(bootloader) 1.2.3.4\nOKAY [ 0.010s]\nfinished. total time: 0.010s\n", L"1.2.3.4"},
        {L"                    (bootloader) 1.2.3.4\nOKAY [  0.048s]\nFinished. Total time: 0.048s\n",
         L"1.2.3.4"},
        {L"(bootloader)   V2.0 \nOKAY\n", L"V2.0"},
        {L"< waiting for device >\n(bootloader) 1.0\nOKAY [ 0.010s]\n", L"< waiting for device >\n(bootloader) 1.0"},
        {L"...   9.9\n", L"9.9\n"},
        {L"", L""},
    };
    for (const Case& c : cases) EXPECT_EQ(ParseBuildVersion(c.output), c.version) << c.output;
}

TEST(FastbootRules, ListedDevices)
{
    const std::wstring listing = L"SERIAL1\tfastboot\nSERIAL12\tfastboot\nOTHER\toffline\r\nTWICE\tdevice\nTWICE\tunauthorized";
    EXPECT_EQ(CountListedDevices(listing, L"SERIAL1"), 1);
    EXPECT_EQ(CountListedDevices(listing, L"SERIAL12"), 1);
    EXPECT_EQ(CountListedDevices(listing, L"OTHER"), 1);
    EXPECT_EQ(CountListedDevices(listing, L"TWICE"), 2);
    EXPECT_EQ(CountListedDevices(listing, L"serial1"), 0);
    EXPECT_EQ(CountListedDevices(listing, L"SERIAL"), 0);
    EXPECT_EQ(CountListedDevices(L"", L"SERIAL1"), 0);
    EXPECT_EQ(CountListedDevices(L"List of devices attached\nABC\tdevice\n\n", L"ABC"), 1);
}

TEST(FastbootRules, SerialInFileNames)
{
    EXPECT_EQ(FileNameSafeSerial(L"ABC123"), L"ABC123");
    EXPECT_EQ(FileNameSafeSerial(L"tcp:1.2.3.4:5555"), L"tcp:1.2.3.4:5555");
    EXPECT_EQ(FileNameSafeSerial(L"a/b\\c\nd\x7f"), L"a_b_c_d_");
}
