#include "KivDispatch.h"
#include "KivDialogs.h"
#include "KivImageCheck.h"
#include "KivModels.h"
#include "Paths.h"

#include <gtest/gtest.h>
#include <fnmatch.h>

#include <set>
#include <string>
#include <vector>

namespace {

std::vector<std::wstring> Entries(const wchar_t* list) {
    std::vector<std::wstring> entries;
    const std::wstring text = list;
    size_t start = 1;
    for (size_t comma; (comma = text.find(L',', start)) != std::wstring::npos; start = comma + 1)
        entries.push_back(text.substr(start, comma - start));
    return entries;
}

TEST(ModelTables, ListsHaveTheirSizesAndCommasAtBothEnds) {
    const struct {
        const char* name;
        const wchar_t* list;
        size_t size;
    } lists[] = {
        {"ReportModels", ReportModels, 75},     {"RecoveryModels", RecoveryModels, 8},
        {"SideloadModels", SideloadModels, 1},  {"ScriptModels", ScriptModels, 35},
        {"Fastboot1Models", Fastboot1Models, 19}, {"RawImageModels", RawImageModels, 6},
        {"EraseUserdataModels", EraseUserdataModels, 1}, {"FastbootWipeModels", FastbootWipeModels, 9},
        {"FullFillModels", FullFillModels, 3},  {"FormatUserdataModels", FormatUserdataModels, 0},
        {"WipeForcedModels", WipeForcedModels, 0}, {"WipeBarredModels", WipeBarredModels, 0},
    };
    for (const auto& entry : lists) {
        SCOPED_TRACE(entry.name);
        const std::wstring text = entry.list;
        ASSERT_FALSE(text.empty());
        EXPECT_EQ(text.front(), L',');
        EXPECT_EQ(text.back(), L',');
        const std::vector<std::wstring> codes = Entries(entry.list);
        EXPECT_EQ(codes.size(), entry.size);
        EXPECT_EQ(std::set<std::wstring>(codes.begin(), codes.end()).size(), codes.size()) << "no code twice";
        for (const std::wstring& code : codes)
            EXPECT_FALSE(code.empty());
    }
}

TEST(ModelTables, VariantsCarryTheCodeOfTheirEntry) {
    const std::set<size_t> variants = {7, 11, 18, 28, 33, 55, 58};
    const size_t bases[] = {6, 10, 17, 27, 31, 54, 57};
    size_t next = 0;
    for (size_t i = 1; i <= kModelCount; ++i) {
        if (variants.count(i)) {
            EXPECT_STREQ(JobModels[i - 1], JobModels[bases[next] - 1]) << "entry " << i;
            EXPECT_STRNE(ModelChoices[i - 1], JobModels[i - 1]) << "entry " << i << " shows its own name";
            ++next;
        } else {
            EXPECT_STREQ(JobModels[i - 1], ModelChoices[i - 1]) << "entry " << i;
        }
    }
    EXPECT_EQ(JobModelAt(6), JobModelAt(5));
    EXPECT_EQ(JobModelAt(0), ModelChoices[0]);
    EXPECT_EQ(JobModelAt(-1), "");
    EXPECT_EQ(JobModelAt(static_cast<int>(kModelCount)), "");
}

// Every model of the combo reaches a flow that can flash it, and the lists agree with each other.
TEST(ModelTables, FlowsOfTheListedModels) {
    for (const std::wstring& code : Entries(SideloadModels)) {
        EXPECT_TRUE(ModelListHolds(RecoveryModels, code.c_str())) << "with wipe the sideload model installs";
        const std::wstring factory = code + L"FAC";
        EXPECT_TRUE(ModelListHolds(ScriptModels, factory.c_str()));
        EXPECT_TRUE(ModelListHolds(ReportModels, factory.c_str()));
    }
    for (const std::wstring& code : Entries(ScriptModels))
        EXPECT_FALSE(ModelListHolds(RecoveryModels, code.c_str())) << "script models are tested first";
    for (const wchar_t* list : {RawImageModels, EraseUserdataModels, FastbootWipeModels}) {
        for (const std::wstring& code : Entries(list))
            EXPECT_EQ(ChooseDownloadFlow(code, true), KivDownloadFlow::Fastboot) << code;
    }
    for (const std::wstring& code : Entries(FullFillModels))
        EXPECT_EQ(ChooseDownloadFlow(code, true), KivDownloadFlow::Recovery) << code;
    for (const std::wstring& code : Entries(EraseUserdataModels))
        EXPECT_TRUE(ModelListHolds(FastbootWipeModels, code.c_str())) << "erase userdata falls back to -w";
    for (const wchar_t* model : JobModels)
        EXPECT_TRUE(ModelListHolds(ReportModels, model)) << model;
}

TEST(Dispatch, WorkerFlowFastbootProgramAndFactoryVariant) {
    const wxString sideload = SideloadModelCode();
    ASSERT_EQ(sideload, Entries(SideloadModels)[0]);
    const wxString script = Entries(ScriptModels)[0];
    const wxString recovery = Entries(RecoveryModels)[1];
    ASSERT_NE(recovery, sideload);
    const wxString raw = Entries(RawImageModels)[0];
    const wxString fastboot1 = Entries(Fastboot1Models).back();

    EXPECT_EQ(ChooseDownloadFlow(script, true), KivDownloadFlow::Script);
    EXPECT_EQ(ChooseDownloadFlow(recovery, false), KivDownloadFlow::Recovery);
    EXPECT_EQ(ChooseDownloadFlow(sideload, false), KivDownloadFlow::Recovery);
    EXPECT_EQ(ChooseDownloadFlow(sideload, true), KivDownloadFlow::Recovery);
    EXPECT_EQ(ChooseDownloadFlow(raw, false), KivDownloadFlow::Fastboot);
    EXPECT_EQ(ChooseDownloadFlow("UNKNOWN", false), KivDownloadFlow::Fastboot);
    EXPECT_EQ(ChooseDownloadFlow(sideload + "FAC", false), KivDownloadFlow::Script);

    EXPECT_EQ(FastbootSuffix(fastboot1), "/Google/fastboot1");
    EXPECT_EQ(FastbootSuffix(raw), "/Google/fastboot2");
    EXPECT_EQ(FastbootSuffix(script), "/Google/fastboot3");
    plat::SetProgramDirForTesting(L"/opt/zelk station");
    EXPECT_EQ(FastbootPathFor(raw), "/opt/zelk station/Google/fastboot2");
    plat::SetProgramDirForTesting(L"");

    const struct {
        const char* path;
        bool rewritten;
    } paths[] = {
        {"/images/factory/image.zip", true},
        {"/images/rotation/image.zip", false},  // "ota" anywhere in the path keeps the model
        {"/images/ZK_ota_1.zip", false},
        {"/images/OTA/image.zip", true},         // the test is case-sensitive
    };
    for (const auto& entry : paths) {
        SCOPED_TRACE(entry.path);
        EXPECT_EQ(ApplyFactoryModelVariant(sideload, entry.path), entry.rewritten ? sideload + "FAC" : sideload);
    }
    EXPECT_EQ(ApplyFactoryModelVariant("X" + sideload + "Y", "/f.zip"), sideload + "FAC") << "contains the code";
    EXPECT_EQ(ApplyFactoryModelVariant(recovery, "/f.zip"), recovery);
}

TEST(LatestImage, SkuOfTheFileName) {
    const struct {
        const char* name;
        const char* sku;
    } cases[] = {
        {"ABC123_WW_1.0.zip", "ABC123"}, {"AB-12_x.zip", "AB"}, {"image.zip", "image.zip"},
        {"_x.zip", ""},                  {"A_B-C.zip", "A"},    {"", ""},
    };
    for (const auto& entry : cases)
        EXPECT_EQ(ImageSku(entry.name), entry.sku) << entry.name;
    EXPECT_EQ(LatestImageQuery("ABC123"), "countryCode=CN&SKU=ABC123&model=");
    EXPECT_EQ(LatestImageQuery("A&B=1%41+c d#e"), "countryCode=CN&SKU=A%26B%3D1%2541%2Bc%20d%23e&model=");
    EXPECT_EQ(NotLatestMessage("a.zip", "b.zip"),
              "Current Version=a.zip\nLatest Version=b.zip\nYour selection isn't the latest version image");
}

TEST(LatestImage, TheFirstMatchingImageDecides) {
    const struct {
        const char* what;
        const char* reply;
        bool decided;
        const char* latest;
    } cases[] = {
        {"match", "<ZELK><IMAGE_RECORD><IMAGE><PROJECT>ZK1</PROJECT><FILE_NAME>new.zip</FILE_NAME></IMAGE>"
                  "</IMAGE_RECORD></ZELK>", true, "new.zip"},
        {"second image matches",
         "<ZELK><IMAGE_RECORD><IMAGE><PROJECT>ZK2</PROJECT><FILE_NAME>other.zip</FILE_NAME></IMAGE>"
         "<IMAGE><PROJECT>ZK1</PROJECT><FILE_NAME>mine.zip</FILE_NAME></IMAGE></IMAGE_RECORD></ZELK>", true, "mine.zip"},
        {"two for the model: the first", "<ZELK><IMAGE_RECORD>"
         "<IMAGE><PROJECT>ZK1</PROJECT><FILE_NAME>first.zip</FILE_NAME></IMAGE>"
         "<IMAGE><PROJECT>ZK1</PROJECT><FILE_NAME>second.zip</FILE_NAME></IMAGE></IMAGE_RECORD></ZELK>", true, "first.zip"},
        {"other elements and attributes", "<ZELK a='1'><X/><IMAGE_RECORD n='2'><NOTE>x</NOTE>"
         "<IMAGE id='7'><SIZE>3</SIZE><PROJECT>ZK1</PROJECT><DATE/><FILE_NAME>n.zip</FILE_NAME></IMAGE>"
         "</IMAGE_RECORD></ZELK>", true, "n.zip"},
        {"FILE_NAME before PROJECT", "<ZELK><IMAGE_RECORD><IMAGE><FILE_NAME>n.zip</FILE_NAME><PROJECT>ZK1</PROJECT>"
         "</IMAGE></IMAGE_RECORD></ZELK>", false, ""},
        {"blanks around the code", "<ZELK><IMAGE_RECORD><IMAGE><PROJECT> ZK1 </PROJECT><FILE_NAME>n.zip</FILE_NAME>"
         "</IMAGE></IMAGE_RECORD></ZELK>", false, ""},
        {"code in another case", "<ZELK><IMAGE_RECORD><IMAGE><PROJECT>zk1</PROJECT><FILE_NAME>n.zip</FILE_NAME>"
         "</IMAGE></IMAGE_RECORD></ZELK>", false, ""},
        {"an image without PROJECT ends the walk", "<ZELK><IMAGE_RECORD><IMAGE><FILE_NAME>a</FILE_NAME></IMAGE>"
         "<IMAGE><PROJECT>ZK1</PROJECT><FILE_NAME>n.zip</FILE_NAME></IMAGE></IMAGE_RECORD></ZELK>", false, ""},
        {"no IMAGE_RECORD", "<ZELK><IMAGE><PROJECT>ZK1</PROJECT><FILE_NAME>n.zip</FILE_NAME></IMAGE></ZELK>", false, ""},
        {"another root", "<ROOT><IMAGE_RECORD/></ROOT>", false, ""},
        {"not well formed", "<ZELK><IMAGE_RECORD><IMAGE><PROJECT>ZK1</PROJECT><FILE_NAME>n.zip", false, ""},
        {"empty", "", false, ""},
        {"with a prolog", "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<ZELK><IMAGE_RECORD><IMAGE><PROJECT>ZK1</PROJECT>"
         "<FILE_NAME>n.zip</FILE_NAME></IMAGE></IMAGE_RECORD></ZELK>", true, "n.zip"},
    };
    for (const auto& entry : cases) {
        SCOPED_TRACE(entry.what);
        wxString latest = "untouched";
        EXPECT_EQ(FindLatestImageName(entry.reply, "ZK1", &latest), entry.decided);
        if (entry.decided) {
            EXPECT_EQ(latest, entry.latest);
        }
    }
}

}  // namespace

// GTK's open-file dialog matches its patterns case-sensitively: the station's patterns take
// every letter in both cases.
TEST(ImageDialog, FilterMatchesTheExtensionInAnyCase) {
    EXPECT_EQ(AnyCaseWildcard("image file (*.zip)|*.zip"), "image file (*.zip)|*.[zZ][iI][pP]");
    EXPECT_EQ(AnyCaseWildcard("a (*.raw)|*.raw;*.r1|b|x"), "a (*.raw)|*.[rR][aA][wW];*.[rR]1|b|[xX]");
    const std::string zip = AnyCaseWildcard("image file (*.zip)|*.zip").AfterFirst('|').ToStdString();
    for (const char* name : {"a.zip", "A.ZIP", "b.Zip", "c.zIP"})
        EXPECT_EQ(fnmatch(zip.c_str(), name, 0), 0) << name;
    for (const char* name : {"a.zipx", "a.raw", "zip"})
        EXPECT_NE(fnmatch(zip.c_str(), name, 0), 0) << name;
}
