#include "KivSettingsFile.h"
#include "KivSettingsForm.h"
#include "SettingsValues.h"

#include "Paths.h"
#include "RylCrypto.h"
#include "Text.h"

#include <gtest/gtest.h>

#include "StrictXml.h"
#include "TestDir.h"
#include "XmlValueShapes.h"

#include <unistd.h>

#include <atomic>
#include <climits>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

namespace {

const std::wstring kDefaultText =
    L"<KIVSettings>\n"
    L"\t<UploadResult>0</UploadResult>\n"
    L"\t<Host>ftp.zelk-partner.invalid</Host>\n"
    L"\t<Port>21</Port>\n"
    L"\t<User>zelk</User>\n"
    L"\t<Password>qHtWmRbN</Password>\n"
    L"\t<UploadPath>inbox/reflash/</UploadPath>\n"
    L"\t<TransforMode>Active</TransforMode>\n"
    L"\t<SaveXmlLog>0</SaveXmlLog>\n"
    L"\t<ResultPath></ResultPath>\n"
    L"\t<RebootTimeout>180</RebootTimeout>\n"
    L"\t<InstallTimeout>1500</InstallTimeout>\n"
    L"\t<WipeTimeout>1500</WipeTimeout>\n"
    L"\t<IntoAndroidTimeout>300</IntoAndroidTimeout>\n"
    L"\t<Tavio>0</Tavio>\n"
    L"\t<TavioHostIndex>0</TavioHostIndex>\n"
    L"</KIVSettings>\n";

SettingsData Custom() {
    SettingsData v;
    v.UploadResult = true;
    v.Ftp.Host = L"ftp<1>.example.invalid";
    v.Ftp.Port = 2121;
    v.Ftp.User = L"op & co";
    v.Ftp.Password = L"p<&>\"'\u00FC\u20AC";
    v.Ftp.UploadPath = L"in/&amp;/";
    v.Ftp.TransforMode = true;
    v.SaveXmlLog = true;
    v.ResultPath = L"/srv/results <new>";
    v.Timeout = {1, 2, 3, 4000};
    v.Tavio = true;
    v.TavioHostIndex = 4;
    return v;
}

void WriteEnciphered(const std::wstring& file, const std::wstring& text, int keyIndex = 0) {
    std::wstring name = file;
    ASSERT_EQ(RylCrypto::Encrypt(nullptr, &text, &name, RylCrypto::RYLCRYPTO_OUTPUT_FILE, keyIndex), 0);
}

std::wstring ReadDeciphered(const std::wstring& file) {
    std::wstring text;
    EXPECT_EQ(RylCrypto::Decrypt(nullptr, &file, &text, RylCrypto::RYLCRYPTO_INPUT_FILE, 0), 0);
    return text;
}

}  // namespace

TEST(SettingsValues, DefaultsAndTavioHosts) {
    SettingsValues s;
    EXPECT_FALSE(s.UploadResult || s.SaveXmlLog || s.Tavio);
    EXPECT_EQ(s.Ftp.Port, 21);
    EXPECT_FALSE(s.Ftp.TransforMode);
    EXPECT_EQ(s.Ftp.User, L"zelk");
    EXPECT_EQ(s.Ftp.Password, L"qHtWmRbN");
    EXPECT_EQ(s.Ftp.UploadPath, L"inbox/reflash/");
    EXPECT_EQ(s.ResultPath, L"");
    EXPECT_EQ(s.Timeout.RebootTimeout, 180u);
    EXPECT_EQ(s.Timeout.InstallTimeout, 1500u);
    EXPECT_EQ(s.Timeout.WipeTimeout, 1500u);
    EXPECT_EQ(s.Timeout.IntoAndroidTimeout, 300u);
    EXPECT_EQ(s.TavioHostIndex, 0);

    EXPECT_EQ(s.GetTavioHost(), SettingsData::TavioHostAt(0));
    for (int i = 0; i < SettingsData::kTavioHostCount; ++i) {
        EXPECT_TRUE(SettingsData::TavioHostAt(i).ends_with(L".invalid")) << i;
        for (int j = 0; j < i; ++j) EXPECT_NE(SettingsData::TavioHostAt(i), SettingsData::TavioHostAt(j));
    }
    for (int index : {5, -1, INT_MAX}) {
        s.TavioHostIndex = index;
        EXPECT_EQ(s.GetTavioHost(), L"") << index;
    }
}

TEST(SettingsValues, ReadersNeverSeeHalfWrittenValues) {
    SettingsValues s;
    const SettingsData a, b = Custom();
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop) {
            SettingsData copy = s.Copy();
            ASSERT_TRUE(copy == a || copy == b);
        }
    });
    for (int i = 0; i < 2000; ++i) s.Assign(i % 2 ? a : b);
    stop = true;
    reader.join();
}

TEST(SettingsFile, WtoiReadsLikeTheCRuntime) {
    const std::pair<std::wstring, int> cases[] = {
        {L"", 0},          {L"42", 42},       {L"  \t\n\r\v\f42", 42}, {L"+7", 7},
        {L"-13", -13},     {L"12abc", 12},    {L"abc", 0},           {L"- 5", 0},
        {L"0x10", 0},      {L"007", 7},       {L"1 2", 1},           {L"2147483647", INT_MAX},
        {L"2147483648", INT_MAX},             {L"-2147483648", INT_MIN},
        {L"-99999999999999999999", INT_MIN},  {L"99999999999999999999999", INT_MAX},
        {L"4294967295", INT_MAX},
    };
    for (const auto& [text, value] : cases) EXPECT_EQ(SettingsWtoi(text), value) << plat::NarrowFromWide(text);
}

TEST(SettingsFile, TextOfTheDefaults) {
    EXPECT_EQ(MakeSettingsText(SettingsData()), kDefaultText);
}

TEST(SettingsFile, MarkupCharactersAreEscaped) {
    const std::wstring text = MakeSettingsText(Custom());
    EXPECT_NE(text.find(L"\t<Password>p&lt;&amp;&gt;\"'\u00FC\u20AC</Password>\n"), std::wstring::npos);
    EXPECT_NE(text.find(L"\t<Host>ftp&lt;1&gt;.example.invalid</Host>\n"), std::wstring::npos);
    EXPECT_NE(text.find(L"\t<UploadPath>in/&amp;amp;/</UploadPath>\n"), std::wstring::npos);
    EXPECT_NE(text.find(L"\t<TransforMode>Passive</TransforMode>\n"), std::wstring::npos);
    EXPECT_NE(text.find(L"\t<InstallTimeout>2</InstallTimeout>\n"), std::wstring::npos);
    EXPECT_NE(text.find(L"\t<Tavio>1</Tavio>\n\t<TavioHostIndex>4</TavioHostIndex>\n"), std::wstring::npos);
    SettingsData back;
    ASSERT_TRUE(ParseSettingsText(text, back));
    EXPECT_EQ(back, Custom());
}

TEST(SettingsFile, ParseTable) {
    struct Case {
        const char* what;
        std::wstring text;
        bool ok;
        std::function<void(SettingsData&)> expect;  // applied to the defaults
    } cases[] = {
        {"the defaults", kDefaultText, true, [](SettingsData&) {}},
        {"empty root", L"<KIVSettings/>", true, [](SettingsData&) {}},
        {"only the host", L"<KIVSettings><Host>h</Host></KIVSettings>", true,
         [](SettingsData& v) { v.Ftp.Host = L"h"; }},
        {"port before host keeps the port",
         L"<KIVSettings><Port>99</Port><Host>h</Host><User>u</User></KIVSettings>", true,
         [](SettingsData& v) { v.Ftp.Host = L"h"; v.Ftp.User = L"u"; }},
        {"flags only from 1 and Passive",
         L"<KIVSettings><UploadResult>true</UploadResult><TransforMode>passive</TransforMode>"
         L"<SaveXmlLog>1</SaveXmlLog><Tavio> 1</Tavio></KIVSettings>", true,
         [](SettingsData& v) { v.SaveXmlLog = true; }},
        {"numbers as _wtoi reads them",
         L"<KIVSettings><Port>70000</Port><RebootTimeout> 25s</RebootTimeout><InstallTimeout>x</InstallTimeout>"
         L"<WipeTimeout>-1</WipeTimeout><TavioHostIndex>4294967295</TavioHostIndex></KIVSettings>", true,
         [](SettingsData& v) {
             v.Ftp.Port = 70000 & 0xFFFF;
             v.Timeout.RebootTimeout = 25;
             v.Timeout.InstallTimeout = 0;
             v.Timeout.WipeTimeout = 0xFFFFFFFF;
             v.TavioHostIndex = INT_MAX;
         }},
        {"entities decoded, texts unchanged",
         L"<KIVSettings><Password>&lt;a&amp;b&gt;&#65;</Password><ResultPath> /r </ResultPath></KIVSettings>", true,
         [](SettingsData& v) { v.Ftp.Password = L"<a&b>A"; v.ResultPath = L" /r "; }},
        {"garbage", L"not a settings text at all", false, [](SettingsData&) {}},
        {"empty", L"", false, [](SettingsData&) {}},
        {"not well formed", L"<KIVSettings><Host>h</KIVSettings>", false, [](SettingsData&) {}},
        {"unescaped markup in a value", L"<KIVSettings><Password>a<b</Password></KIVSettings>", false,
         [](SettingsData&) {}},
        {"another root", L"<Settings><Host>h</Host></Settings>", false, [](SettingsData&) {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SettingsData parsed, expected;
        EXPECT_EQ(ParseSettingsText(c.text, parsed), c.ok);
        c.expect(expected);
        EXPECT_EQ(parsed, expected);
    }
    // Keys not in the text keep the record's values, not the defaults.
    SettingsData v = Custom();
    ASSERT_TRUE(ParseSettingsText(L"<KIVSettings><User>x</User></KIVSettings>", v));
    SettingsData expected = Custom();
    expected.Ftp.User = L"x";
    EXPECT_EQ(v, expected);
}

TEST(SettingsFile, SaveAndLoadRoundTrip) {
    TestDir dir;
    const std::wstring file = dir.Wide("settings.sxml");
    SettingsValues saved;
    saved.Assign(Custom());
    ASSERT_TRUE(SaveSettingsFile(saved, file));
    SettingsValues loaded;
    ASSERT_TRUE(LoadSettingsFile(loaded, file));
    EXPECT_EQ(loaded.Copy(), Custom());

    // Without markup characters the file holds exactly the plain text.
    ASSERT_TRUE(SaveSettingsFile(SettingsValues(), file));
    EXPECT_EQ(ReadDeciphered(file), kDefaultText);
    // Only Base64 lines are on disk.
    std::ifstream in(plat::NativePath(file));
    std::string line;
    while (std::getline(in, line)) {
        EXPECT_LE(line.size(), 72u);
        EXPECT_EQ(line.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
                  std::string::npos);
    }
}

// Every value shape in every text of the record: expat reads the settings text, as it is written
// and as the file deciphers, and gets each value back (U+FFFD for what XML cannot carry); so does
// the station's own loading.
TEST(SettingsFile, AStrictParserReadsEveryValueBack) {
    TestDir dir;
    const std::wstring file = dir.Wide("settings.sxml");
    const char* const keys[] = {"Host", "User", "Password", "UploadPath", "ResultPath"};
    for (const XmlValueShape& shape : XmlValueShapes()) {
        SCOPED_TRACE(shape.what);
        SettingsData v;
        v.Ftp.Host = v.Ftp.User = v.Ftp.Password = v.Ftp.UploadPath = v.ResultPath = shape.value;
        SettingsData expected = v;
        expected.Ftp.Host = expected.Ftp.User = expected.Ftp.Password = expected.Ftp.UploadPath =
            expected.ResultPath = shape.readBack;
        SettingsValues saved;
        saved.Assign(v);
        ASSERT_TRUE(SaveSettingsFile(saved, file));
        for (const std::wstring& text : {MakeSettingsText(v), ReadDeciphered(file)}) {
            const StrictDocument strict = ParseStrictXml(plat::NarrowFromWide(text));
            ASSERT_EQ(strict.error, "");
            for (const char* key : keys)
                EXPECT_EQ(strict.Find(key)->text, plat::NarrowFromWide(shape.readBack)) << key;
            EXPECT_EQ(strict.Find("Port")->text, "21");
        }
        SettingsValues loaded;
        ASSERT_TRUE(LoadSettingsFile(loaded, file));
        EXPECT_EQ(loaded.Copy(), expected);
    }
}

TEST(SettingsFile, UnusableFilesKeepTheRecord) {
    TestDir dir;
    const std::wstring file = dir.Wide("settings.sxml");
    struct Case {
        const char* what;
        std::function<void()> make;
    } cases[] = {
        {"no file", [] {}},
        {"wrong key", [&] { WriteEnciphered(file, MakeSettingsText(SettingsData()), 1); }},
        {"cut", [&] {
             WriteEnciphered(file, MakeSettingsText(SettingsData()));
             std::filesystem::resize_file(plat::NativePath(file), 100);
         }},
        {"plain XML", [&] { std::ofstream(plat::NativePath(file)) << plat::NarrowFromWide(kDefaultText); }},
        {"not well formed", [&] { WriteEnciphered(file, L"<KIVSettings><Host>x</KIVSettings>"); }},
        {"another root", [&] { WriteEnciphered(file, L"<Other><Host>x</Host></Other>"); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(plat::NativePath(file));
        c.make();
        SettingsValues v;
        v.Assign(Custom());
        EXPECT_FALSE(LoadSettingsFile(v, file));
        EXPECT_EQ(v.Copy(), Custom());
    }
    SettingsValues v;
    EXPECT_FALSE(SaveSettingsFile(v, dir.Wide("no/such/dir/settings.sxml")));
}

TEST(SettingsForm, ValidationMessagesInOrder) {
    SettingsForm valid = SettingsFormFromValues(SettingsData());
    valid.upload = valid.save = valid.tavio = true;
    valid.location = L"/results";
    const std::wstring timeout = L"The timeout has to be a value from 0 to 1800.";
    struct Case {
        const char* what;
        std::function<void(SettingsForm&)> change;
        std::wstring message;
    } cases[] = {
        {"all valid", [](SettingsForm&) {}, L""},
        {"empty host", [](SettingsForm& f) { f.host.clear(); f.user.clear(); }, L"The host has to be not empty."},
        {"port 0", [](SettingsForm& f) { f.port = L"0"; }, L"The port has to be a value from 1 to 65535."},
        {"port empty", [](SettingsForm& f) { f.port = L""; }, L"The port has to be a value from 1 to 65535."},
        {"port 65536", [](SettingsForm& f) { f.port = L"65536"; }, L"The port has to be a value from 1 to 65535."},
        {"port 65535", [](SettingsForm& f) { f.port = L"65535"; }, L""},
        {"empty user", [](SettingsForm& f) { f.user.clear(); f.password.clear(); }, L"The user has to be not empty."},
        {"empty password", [](SettingsForm& f) { f.password.clear(); }, L"The password has to be not empty."},
        {"reboot 1801", [](SettingsForm& f) { f.reboot = L"1801"; }, timeout},
        {"install negative", [](SettingsForm& f) { f.install = L"-1"; }, timeout},
        {"wipe 9999", [](SettingsForm& f) { f.wipe = L"9999"; }, timeout},
        {"into Android 1800, 0 elsewhere",
         [](SettingsForm& f) { f.intoAndroid = L"1800"; f.reboot = L""; f.install = L"0"; }, L""},
        {"upload path not checked", [](SettingsForm& f) { f.uploadPath.clear(); }, L""},
        {"upload checks come first", [](SettingsForm& f) { f.location.clear(); f.password.clear(); },
         L"The password has to be not empty."},
        {"empty location alone", [](SettingsForm& f) { f.location.clear(); f.tavioText.clear(); },
         L"The path has to be not empty."},
        {"empty Tavio host", [](SettingsForm& f) { f.tavioText.clear(); }, L"The Tavio host has to be not empty."},
        {"upload off: its fields and limits unchecked",
         [](SettingsForm& f) { f.upload = false; f.host.clear(); f.port = L"0"; f.reboot = L"5000"; }, L""},
        {"save off: the upload still needs the location",
         [](SettingsForm& f) { f.save = false; f.location.clear(); }, L"The path has to be not empty."},
        {"save and upload off: location unchecked",
         [](SettingsForm& f) { f.save = false; f.upload = false; f.location.clear(); }, L""},
        {"Tavio off: host unchecked", [](SettingsForm& f) { f.tavio = false; f.tavioText.clear(); }, L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SettingsForm f = valid;
        c.change(f);
        EXPECT_EQ(SettingsFormError(f), c.message);
    }
}

TEST(SettingsForm, CopiesBetweenFormAndRecord) {
    for (const SettingsData& values : {SettingsData(), Custom()}) {
        SettingsData back;
        SettingsFormToValues(SettingsFormFromValues(values), back);
        EXPECT_EQ(back, values);
    }
    SettingsForm f = SettingsFormFromValues(Custom());
    EXPECT_EQ(f.port, L"2121");
    EXPECT_EQ(f.intoAndroid, L"4000");  // larger than the keyboard allows, kept as it is
    EXPECT_EQ(f.tavioText, SettingsData::TavioHostAt(4));
    f.port = L"70000";
    f.tavioSelection = -1;
    SettingsData v;
    SettingsFormToValues(f, v);
    EXPECT_EQ(v.Ftp.Port, 70000 & 0xFFFF);
    EXPECT_EQ(v.TavioHostIndex, -1);
}
