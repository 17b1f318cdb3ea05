#include "protocol/Mca.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

const std::string kAllOk =
    "*M03R12345678P1V1111A1111111D1111111T1111111F1111111C1111111H00012345\n";

struct Parsed {
    bool ok = false;
    DeviceStatus status;
    std::uint8_t model = 99;
    std::string serial;
};

Parsed Parse(const std::string& text) {
    CMca codec;
    Parsed p;
    p.ok =
        codec.ParseStatus(text.data(), static_cast<int>(text.size()), p.status, p.model, p.serial);
    return p;
}

bool Valid(const std::string& text) {
    return CMca().IsValidStatus(text.data(), static_cast<int>(text.size()));
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    text.replace(text.find(from), from.size(), to);
    return text;
}

TEST(McaRequests, TextsOfEveryRequestKind) {
    CMca codec;
    EXPECT_EQ(codec.RequestText(StatusQuery), "*s?\n");
    EXPECT_EQ(codec.RequestText(SetActive), "*p1\n");
    EXPECT_EQ(codec.RequestText(SetStandby), "*p0\n");
    EXPECT_EQ(codec.RequestText(SetChannels), "*m=");
    EXPECT_EQ(codec.RequestText(3), "");
    EXPECT_EQ(codec.RequestText(-1), "");
    EXPECT_EQ(codec.DiscoveryRequest(), "VELKAN\n");
}

TEST(McaRequests, ChannelMaskTakesOnlyExactOnes) {
    CMca codec;
    const std::uint8_t two[7] = {1, 1, 0, 0, 0, 0, 0};
    EXPECT_EQ(codec.ChannelMask(two), 3);
    const std::uint8_t all[7] = {1, 1, 1, 1, 1, 1, 1};
    EXPECT_EQ(codec.ChannelMask(all), 0x7F);
    const std::uint8_t odd[7] = {2, 0, 1, 0, 0, 0, 1};  // 2 is not "on"
    EXPECT_EQ(codec.ChannelMask(odd), 0x44);
}

TEST(McaFraming, FindStartAndEnd) {
    CMca codec;
    const char text[] = "ab*cd\nef";
    EXPECT_EQ(codec.FindStart(text, 8), 2);
    EXPECT_EQ(codec.FindEnd(text, 8), 5);
    EXPECT_EQ(codec.FindStart(text, 2), -1);
    EXPECT_EQ(codec.FindEnd(text, 5), -1);
    EXPECT_EQ(codec.FindStart(nullptr, 0), -1);
}

TEST(McaStatus, WorkedExampleInAnyFieldOrder) {
    const std::string reordered =
        "*H00012345C1111111F1111111T1111111D1111111A1111111V1111P1R12345678M03\n";
    for (const std::string& text : {kAllOk, reordered}) {
        SCOPED_TRACE(text);
        ASSERT_TRUE(Valid(text));
        const Parsed p = Parse(text);
        ASSERT_TRUE(p.ok);
        EXPECT_EQ(p.model, ModelRV13);
        EXPECT_EQ(p.serial, "12345678");
        EXPECT_EQ(p.status.Mode, 1);
        EXPECT_EQ(p.status.OperatingMinutes, 12345);
        for (int i = 0; i < 4; ++i) EXPECT_EQ(p.status.SupplyOk[i], 1);
        for (int ch = 0; ch < 7; ++ch) {
            EXPECT_EQ(p.status.ChannelOn[ch], 1);
            EXPECT_EQ(p.status.ChannelOk[ch], 1);
            EXPECT_EQ(p.status.TempOk[ch], 1);
            EXPECT_EQ(p.status.FanOk[ch], 1);
            EXPECT_EQ(p.status.CurrentOk[ch], 1);
        }
        EXPECT_TRUE(CMca().EvaluateCondition(p.status));
    }
}

TEST(McaStatus, ChannelFieldsReadLastCharacterAsChannelOne) {
    const Parsed p =
        Parse(Replace(Replace(kAllOk, "D1111111", "D1111110"), "A1111111", "A0000001"));
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.status.ChannelOk[0], 0);
    for (int ch = 1; ch < 7; ++ch) EXPECT_EQ(p.status.ChannelOk[ch], 1) << ch;
    EXPECT_EQ(p.status.ChannelOn[0], 1);
    for (int ch = 1; ch < 7; ++ch) EXPECT_EQ(p.status.ChannelOn[ch], 0) << ch;
    // The supply field is read first character first.
    const Parsed v = Parse(Replace(kAllOk, "V1111", "V0111"));
    ASSERT_TRUE(v.ok);
    EXPECT_EQ(v.status.SupplyOk[0], 0);
    EXPECT_EQ(v.status.SupplyOk[3], 1);
}

struct ValidityCase {
    const char* name;
    std::string text;
    bool valid;
};

class McaValidity : public testing::TestWithParam<ValidityCase> {};

TEST_P(McaValidity, Decides) {
    EXPECT_EQ(Valid(GetParam().text), GetParam().valid);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, McaValidity,
    testing::Values(ValidityCase{"complete", kAllOk, true},
                    ValidityCase{"no_star_first", "x" + kAllOk, false},
                    ValidityCase{"no_newline", kAllOk.substr(0, kAllOk.size() - 1), false},
                    ValidityCase{"no_H", Replace(kAllOk, "H00012345", "000012345"), false},
                    ValidityCase{"H_after_newline", Replace(kAllOk, "H00012345\n", "000012345\nH"),
                                 false},
                    ValidityCase{"no_F", Replace(kAllOk, "F1111111", "11111111"), false},
                    ValidityCase{"values_not_checked", Replace(kAllOk, "V1111", "V2222"), true},
                    ValidityCase{"empty", "", false}),
    [](const auto& info) { return std::string(info.param.name); });

struct ParseCase {
    const char* name;
    std::string text;
    bool ok;
};

class McaParse : public testing::TestWithParam<ParseCase> {};

TEST_P(McaParse, Decides) {
    EXPECT_EQ(Parse(GetParam().text).ok, GetParam().ok);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, McaParse,
    testing::Values(
        ParseCase{"complete", kAllOk, true},
        ParseCase{"supply_with_2", Replace(kAllOk, "V1111", "V1121"), false},
        ParseCase{"mode_2", Replace(kAllOk, "P1", "P2"), false},
        ParseCase{"short_H_takes_newline", Replace(kAllOk, "H00012345", "H0012345"), false},
        ParseCase{"negative_H", Replace(kAllOk, "H00012345", "H-0000012"), true},
        ParseCase{"H_with_letter", Replace(kAllOk, "H00012345", "H0001x345"), false},
        ParseCase{"channel_field_short", Replace(kAllOk, "C1111111H", "C111111H0"), false},
        ParseCase{"unknown_model_still_parses", Replace(kAllOk, "M03", "M07"), true},
        ParseCase{"no_M", Replace(kAllOk, "M03", "X03"), false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(McaStatus, NegativeMinutesAndUnknownModel) {
    const Parsed neg = Parse(Replace(kAllOk, "H00012345", "H-0000012"));
    EXPECT_EQ(neg.status.OperatingMinutes, -12);
    const Parsed unknown = Parse(Replace(kAllOk, "M03", "M07"));
    EXPECT_EQ(unknown.model, ModelUnknown);
    EXPECT_STREQ(CMca().ModelName(unknown.model), "Unknown");
}

TEST(McaStatus, SerialStartingWithAKeepsTheAAndTheAField) {
    const Parsed p =
        Parse(Replace(Replace(kAllOk, "R12345678", "RA2345678"), "A1111111", "A0000011"));
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.serial, "A2345678");
    EXPECT_EQ(p.status.ChannelOn[0], 1);
    EXPECT_EQ(p.status.ChannelOn[1], 1);
    EXPECT_EQ(p.status.ChannelOn[2], 0);
}

TEST(McaStatus, FailedParseKeepsLaterFields) {
    CMca codec;
    DeviceStatus status;
    status.OperatingMinutes = 777;
    std::uint8_t model = 0;
    std::string serial;
    const std::string text = Replace(kAllOk, "P1", "P9");
    EXPECT_FALSE(
        codec.ParseStatus(text.data(), static_cast<int>(text.size()), status, model, serial));
    EXPECT_EQ(model, ModelRV13);  // extracted before the failure
    EXPECT_EQ(serial, "12345678");
    EXPECT_EQ(status.OperatingMinutes, 777);  // never reached
    EXPECT_FALSE(codec.ParseStatus(nullptr, 10, status, model, serial));
    EXPECT_FALSE(codec.ParseStatus(text.data(), 0, status, model, serial));
}

TEST(McaModels, NamesAndChannelCounts) {
    CMca codec;
    const struct {
        std::uint8_t code;
        const char* name;
        int channels;
    } table[] = {{0, "Unknown", 0}, {1, "RV10", 2},    {2, "RV11", 3},     {3, "RV12", 5},
                 {4, "RV13", 7},    {5, "Unknown", 0}, {255, "Unknown", 0}};
    for (const auto& row : table) {
        EXPECT_STREQ(codec.ModelName(row.code), row.name) << int(row.code);
        EXPECT_EQ(ModelChannelCount(row.code), row.channels) << int(row.code);
    }
}

TEST(McaDiscovery, ParsesReplyWithSenderAddress) {
    CMca codec;
    const std::string text = "VELKAN:M02R00001234\n";
    ASSERT_TRUE(codec.IsDiscoveryReply(text.data(), static_cast<int>(text.size())));
    const std::uint8_t addr[4] = {10, 0, 0, 7};
    CMca::BcastData_Type out;
    ASSERT_TRUE(codec.ParseDiscoveryReply(text.data(), static_cast<int>(text.size()), addr, &out));
    EXPECT_EQ(out.IpAddress, "10.0.0.7");
    EXPECT_EQ(out.Serial, "00001234");
    EXPECT_EQ(out.ModelCode, 3);
    EXPECT_EQ(codec.ModelOf(text.data(), static_cast<int>(text.size())), 3);
}

TEST(McaDiscovery, RejectsWhatIsNoReply) {
    CMca codec;
    for (const std::string text : {"XELKAN:M02R00001234\n", "VELKAN:M02R00001234",
                                   "VELKAN:R00001234\n", "VELKAN\n", "velkan:M02R00001234\n"}) {
        EXPECT_FALSE(codec.IsDiscoveryReply(text.data(), static_cast<int>(text.size()))) << text;
    }
}

TEST(McaDiscovery, MissingArgumentsLeaveRecordUntouched) {
    CMca codec;
    const std::string text = "VELKAN:M02R00001234\n";
    const std::uint8_t addr[4] = {127, 0, 0, 2};
    CMca::BcastData_Type out{"keep", "keep", 9};
    EXPECT_FALSE(
        codec.ParseDiscoveryReply(text.data(), static_cast<int>(text.size()), nullptr, &out));
    EXPECT_FALSE(codec.ParseDiscoveryReply(text.data(), 0, addr, &out));
    EXPECT_FALSE(codec.ParseDiscoveryReply(nullptr, 5, addr, &out));
    EXPECT_FALSE(
        codec.ParseDiscoveryReply(text.data(), static_cast<int>(text.size()), addr, nullptr));
    EXPECT_EQ(out.IpAddress, "keep");
    EXPECT_EQ(out.ModelCode, 9);
    // A reply without R fails after the record was cleared.
    const std::string noR = "VELKAN:M02X\n";
    EXPECT_FALSE(codec.ParseDiscoveryReply(noR.data(), static_cast<int>(noR.size()), addr, &out));
    EXPECT_EQ(out.IpAddress, "");
    EXPECT_EQ(out.ModelCode, 3);
}

TEST(McaDiscovery, ShortSerialAndLeadingZeroFreeAddress) {
    CMca codec;
    const std::string text = "VELKAN:M00R1234\n";
    const std::uint8_t addr[4] = {127, 0, 10, 200};
    CMca::BcastData_Type out;
    ASSERT_TRUE(codec.ParseDiscoveryReply(text.data(), static_cast<int>(text.size()), addr, &out));
    EXPECT_EQ(out.Serial, "1234\n");
    EXPECT_EQ(out.IpAddress, "127.0.10.200");
    EXPECT_EQ(out.ModelCode, ModelRV10);
}

TEST(McaCondition, FaultSummaryFlags) {
    CMca codec;
    std::uint8_t flags[8];
    DeviceStatus zero;
    EXPECT_EQ(zero.Mode, 0);
    EXPECT_FALSE(codec.EvaluateCondition(zero, flags));
    for (int i = 0; i < 8; ++i) EXPECT_EQ(flags[i], 1) << i;

    const Parsed ok = Parse(kAllOk);
    EXPECT_TRUE(codec.EvaluateCondition(ok.status, flags));
    for (int i = 0; i < 8; ++i) EXPECT_EQ(flags[i], 0) << i;

    struct Case {
        void (*spoil)(DeviceStatus&);
        int flag;
    } cases[] = {
        {[](DeviceStatus& s) { s.ChannelOk[6] = 0; }, 0},
        {[](DeviceStatus& s) { s.TempOk[3] = 0; }, 1},
        {[](DeviceStatus& s) { s.FanOk[0] = 0; }, 2},
        {[](DeviceStatus& s) { s.CurrentOk[5] = 0; }, 3},
        {[](DeviceStatus& s) { s.SupplyOk[0] = 0; }, 4},
        {[](DeviceStatus& s) { s.SupplyOk[1] = 0; }, 5},
        {[](DeviceStatus& s) { s.SupplyOk[2] = 0; }, 6},
        {[](DeviceStatus& s) { s.SupplyOk[3] = 0; }, 7},
    };
    for (const Case& c : cases) {
        DeviceStatus s = ok.status;
        c.spoil(s);
        EXPECT_FALSE(codec.EvaluateCondition(s, flags));
        for (int i = 0; i < 8; ++i) EXPECT_EQ(flags[i], i == c.flag ? 1 : 0) << c.flag << "/" << i;
    }
    // Mode, channel switches and time play no part.
    DeviceStatus s = ok.status;
    s.Mode = 0;
    s.ChannelOn[2] = 0;
    s.OperatingMinutes = -5;
    EXPECT_TRUE(codec.EvaluateCondition(s));
}

}  // namespace
