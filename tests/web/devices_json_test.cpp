// The devices' JSON: every field of a device that answers, nulls where a status is not known,
// the counters grouped as the properties dialog groups them, and the lookup by id.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>

#include "SnapshotFixtures.h"
#include "web/DevicesJson.h"

namespace {

QJsonObject Parsed(const QByteArray& body) {
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(body, &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << body.toStdString();
    return doc.object();
}

TEST(DevicesJsonTest, ADeviceThatAnswers) {
    DeviceSnapshot faulty = Faulty();
    faulty.Name = "Amp \"A\"\n\\";  // the library escapes it
    faulty.Condition = "Fan Failure, Power Supply Failure";
    faulty.StatsSince = 1765000000;
    const QJsonObject d = Parsed(*DeviceJsonById(SiteSnapshot{{faulty}, {}, "1"}, 7));
    EXPECT_EQ(d["id"].toInt(), 7);
    EXPECT_EQ(d["name"].toString(), QString::fromUtf8("Amp \"A\"\n\\"));
    EXPECT_EQ(d["address"].toString(), "127.0.0.2");
    EXPECT_EQ(d["serial"].toString(), "00001234");
    EXPECT_EQ(d["model"].toString(), "RV10");
    EXPECT_EQ(d["monitored"], true);
    EXPECT_EQ(d["connection"].toString(), "connected");
    EXPECT_EQ(d["condition"].toString(), "Fan Failure, Power Supply Failure");
    EXPECT_EQ(d["statusKnown"], true);
    EXPECT_EQ(d["mode"].toString(), "active");
    const QJsonArray channels = d["channels"].toArray();
    ASSERT_EQ(channels.size(), 2);
    EXPECT_EQ(channels[1]["channel"].toInt(), 2);
    EXPECT_EQ(channels[1]["on"], false);
    EXPECT_EQ(channels[1]["faults"].toObject(),
              (QJsonObject{
                  {"channel", false}, {"temperature", false}, {"fan", true}, {"current", false}}));
    EXPECT_EQ(d["supplyFaults"].toObject(),
              (QJsonObject{{"-5V", false}, {"+12V", true}, {"+72V_A", false}, {"+72V_B", false}}));
    EXPECT_EQ(d["operatingMinutes"].toInt(), 90);
    const QJsonObject stats = d["statistics"].toObject();
    EXPECT_EQ(stats["fan"].toArray(), (QJsonArray{0, 3, 0, 0, 0, 0, 1}));
    EXPECT_EQ(stats["channel"].toArray(), (QJsonArray{0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(stats["supply"].toObject(),
              (QJsonObject{{"-5V", 0}, {"+12V", 2}, {"+72V_A", 0}, {"+72V_B", 5}}));
    EXPECT_EQ(stats["since"].toString(), "2025-12-06T05:46:40Z");
    EXPECT_EQ(d["lastStatus"].toString(), "2025-12-11T09:16:55Z");
}

TEST(DevicesJsonTest, WithoutACurrentStatusTheStatusFieldsAreNull) {
    const SiteSnapshot site{{Faulty(), Unheard(), Lost()}, {}, "1"};
    const QJsonArray devices = Parsed(DevicesJson(site))["devices"].toArray();
    ASSERT_EQ(devices.size(), 3);
    EXPECT_EQ(devices[0]["name"].toString(), "Amp A");  // the list's order
    for (int i : {1, 2}) {
        const QJsonObject d = devices[i].toObject();
        for (const char* key : {"mode", "channels", "supplyFaults", "operatingMinutes"}) {
            EXPECT_TRUE(d[key].isNull()) << i << " " << key;
        }
        EXPECT_EQ(d["statusKnown"], false);
    }
    EXPECT_EQ(devices[1]["connection"].toString(), "disconnected");
    EXPECT_EQ(devices[2]["connection"].toString(), "connecting");
    EXPECT_TRUE(devices[1]["lastStatus"].isNull());  // never heard of
    EXPECT_TRUE(devices[1]["statistics"]["since"].isNull());
    EXPECT_EQ(devices[1]["statistics"]["channel"][0].toInt(), 4);  // counters from the file
    EXPECT_FALSE(devices[2]["lastStatus"].isNull());
}

TEST(DevicesJsonTest, TheMuteAndUntilWhen) {
    DeviceSnapshot forAnHour = Faulty();
    forAnHour.Muted = true;
    forAnHour.MutedUntil = 1765448215;
    DeviceSnapshot forGood = Unheard();
    forGood.Muted = true;
    forGood.MutedUntil = CMonitorCore::MutedIndefinitely;
    const QJsonArray devices =
        Parsed(DevicesJson(SiteSnapshot{{forAnHour, forGood, Lost()}, {}, "1"}))["devices"]
            .toArray();
    ASSERT_EQ(devices.size(), 3);
    EXPECT_EQ(devices[0]["muted"], true);
    EXPECT_EQ(devices[0]["mutedUntil"].toString(), "2025-12-11T10:16:55Z");
    EXPECT_EQ(devices[1]["muted"], true);
    EXPECT_TRUE(devices[1]["mutedUntil"].isNull());  // until somebody unmutes it
    EXPECT_EQ(devices[2]["muted"], false);
    EXPECT_TRUE(devices[2]["mutedUntil"].isNull());
}

TEST(DevicesJsonTest, LookUpById) {
    const SiteSnapshot site{{Faulty(), Unheard()}, {}, "1"};
    ASSERT_TRUE(DeviceJsonById(site, 8));
    EXPECT_EQ(Parsed(*DeviceJsonById(site, 8))["name"].toString(), "Amp B");
    EXPECT_FALSE(DeviceJsonById(site, 9));
    EXPECT_EQ(Parsed(DevicesJson(SiteSnapshot{}))["devices"].toArray().size(), 0);
}

}  // namespace
