// The result checks' judgements: companion packages by model, IMEI and version texts, uninstall.
#include "KivCheckRules.h"

#include "CompanionModels.h"
#include "KivLog.h"

#include <gtest/gtest.h>

namespace {

const wchar_t* ModelOf(int apkResourceId) {
    for (const CompanionModel& entry : kCompanionModels)
        if (entry.apkResourceId == apkResourceId)
            return entry.model;
    return L"";
}

}  // namespace

TEST(ImeiApkTable, EachFlowGetsOnlyItsOwnPackages) {
    const wxString arm = ModelOf(160), x86 = ModelOf(165), script = ModelOf(167);
    struct Case {
        KivCheckFlow flow;
        wxString model;
        int id;
    } cases[] = {
        {KivCheckFlow::Recovery, arm, 160},
        {KivCheckFlow::Recovery, x86, 165},
        {KivCheckFlow::Recovery, script, 0},
        {KivCheckFlow::Script, script, 167},
        {KivCheckFlow::Script, arm, 0},
        {KivCheckFlow::Fastboot, arm, 0},
        {KivCheckFlow::Fastboot, x86, 0},
        {KivCheckFlow::Fastboot, script, 0},
        {KivCheckFlow::Recovery, arm.Lower(), 0},  // exact case
        {KivCheckFlow::Recovery, arm + "X", 0},
        {KivCheckFlow::Recovery, "", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ImeiApkResourceId(c.flow, c.model), c.id) << c.model << " flow " << int(c.flow);
}

TEST(ImeiApkTable, PackagesAndActivities) {
    EXPECT_STREQ(CompanionPackage(KivCheckFlow::Recovery), L"com.zelk.phoneinfo");
    EXPECT_STREQ(CompanionPackage(KivCheckFlow::Fastboot), L"com.zelk.phoneinfo");
    EXPECT_STREQ(CompanionPackage(KivCheckFlow::Script), L"com.example.getimei");
    EXPECT_EQ(CompanionActivity(KivCheckFlow::Recovery, "ZK1"), "com.zelk.phoneinfo.PhoneInfoAPK_ZK1_Activity");
    EXPECT_EQ(CompanionActivity(KivCheckFlow::Script, "ZK1"), "com.example.getimei.MainActivity");
}

TEST(CheckRules, DetectedSerialWithAmpersandIsInvalid) {
    uint32_t code = 0;
    wxString error;
    EXPECT_TRUE(CheckDetectedSerial("F9AZCY00E123", &code, &error));
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(error.empty());
    EXPECT_FALSE(CheckDetectedSerial("5&2A3B&0&1", &code, &error));
    EXPECT_EQ(code, uint32_t(ERR_INVALID_ID));
    EXPECT_EQ(error, "The detected device serial number \"5&2A3B&0&1\" is invalid");
}

TEST(CheckRules, TrimCutsOnlyTrailingLineEndsAndBlanks) {
    EXPECT_EQ(TrimTrailingLineEnds("  357123456789012 \r\n\r\n"), "  357123456789012");
    EXPECT_EQ(TrimTrailingLineEnds("a\tb\t"), "a\tb\t");
    EXPECT_EQ(TrimTrailingLineEnds("\r\n"), "");
}

TEST(CheckRules, ImeiOutputs) {
    struct Case {
        const char* output;
        bool ok;
        const char* imei;
        uint32_t code;
        const char* error;
    } cases[] = {
        {"357123456789012\r\n", true, "357123456789012", 0, ""},
        {"357123456789012", true, "357123456789012", 0, ""},
        {"357123456789012 \r\n ", true, "357123456789012", 0, ""},
        {"35712345678901\r\n", false, "", ERR_INVALID_ID, "The IMEI \"35712345678901\" is invalid"},
        {"3571234567890123\r\n", false, "", ERR_INVALID_ID, "The IMEI \"3571234567890123\" is invalid"},
        {"11\r\n", false, "", ERR_INVALID_ID, "The IMEI \"11\" is invalid"},
        {"", false, "", ERR_INVALID_ID, "The IMEI \"\" is invalid"},
        {"sh: PhoneInfoTest: not found\r\n", false, "", ERR_IMEI_NOT_FOUND, "Read IMEI: sh: PhoneInfoTest: not found"},
        {"Not Found", false, "", ERR_INVALID_ID, "The IMEI \"Not Found\" is invalid"},  // exact case
        // Debug output is never an IMEI, whatever it holds.
        {"[PhoneInfoTest] DEBUG MODE\r\n357123456789012\r\n", false, "", ERR_INVALID_ID,
         "The IMEI \"[PhoneInfoTest] DEBUG MODE\r\n357123456789012\" is invalid"},
    };
    for (const Case& c : cases) {
        wxString imei = "untouched";
        uint32_t code = 0;
        wxString error;
        EXPECT_EQ(JudgeImeiOutput(c.output, L"Read IMEI: %s", &imei, &code, &error), c.ok) << c.output;
        EXPECT_EQ(imei, c.ok ? wxString(c.imei) : wxString("untouched")) << c.output;
        EXPECT_EQ(code, c.code) << c.output;
        EXPECT_EQ(error, c.error) << c.output;
    }
}

TEST(CheckRules, ImeiFromTheCompanionAppNamesItsSource) {
    uint32_t code = 0;
    wxString error;
    EXPECT_FALSE(JudgeImeiOutput("not found", L"Read IMEI from apk: %s", nullptr, &code, &error));
    EXPECT_EQ(error, "Read IMEI from apk: not found");
}

TEST(CheckRules, AnUnsetImeiPropertyIsNoAnswer) {
    EXPECT_FALSE(IsImeiPropertyAnswer(""));
    EXPECT_TRUE(IsImeiPropertyAnswer("357123456789012"));
    for (const char* refused : {"12345", "unknown", "0", "35712345678901x", "3571234567890123", " 57123456789012"})
        EXPECT_FALSE(IsImeiPropertyAnswer(refused)) << refused;
}

TEST(CheckRules, OnlyTheFastbootFlowRefusesErrorVersions) {
    EXPECT_TRUE(IsAcceptedSoftwareVersion(KivCheckFlow::Fastboot, "ZK_1.2.3_user"));
    EXPECT_FALSE(IsAcceptedSoftwareVersion(KivCheckFlow::Fastboot, "getprop error 5"));
    EXPECT_TRUE(IsAcceptedSoftwareVersion(KivCheckFlow::Fastboot, "Error"));  // exact case
    EXPECT_TRUE(IsAcceptedSoftwareVersion(KivCheckFlow::Recovery, "error"));
    EXPECT_TRUE(IsAcceptedSoftwareVersion(KivCheckFlow::Script, "error"));
}

TEST(CheckRules, UninstallCommandAndReply) {
    EXPECT_EQ(UninstallCommand("F9AZ", "com.zelk.phoneinfo"), " -s \"F9AZ\" uninstall com.zelk.phoneinfo");
    EXPECT_EQ(UninstallCommand("", "com.example.getimei"), " uninstall com.example.getimei");

    uint32_t code = 0;
    wxString error;
    EXPECT_TRUE(JudgeUninstallOutput("Success\r\n", &code, &error));
    EXPECT_TRUE(JudgeUninstallOutput("Success", &code, &error));
    EXPECT_EQ(code, 0u);
    for (const char* reply : {"Failure [DELETE_FAILED_INTERNAL_ERROR]\r\n", "success", " Success", ""}) {
        code = 0;
        EXPECT_FALSE(JudgeUninstallOutput(reply, &code, &error)) << reply;
        EXPECT_EQ(code, uint32_t(ERR_UNINSTALL));
        EXPECT_EQ(error, "ADB response: " + TrimTrailingLineEnds(reply));
    }
}

TEST(CheckRules, TimeoutText) {
    EXPECT_EQ(CheckTimeoutText(300, "ADB Error: device not found"), "300 seconds timeout, ADB Error: device not found");
    EXPECT_EQ(CheckTimeoutText(5, ""), "5 seconds timeout, ");
}
