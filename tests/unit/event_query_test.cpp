// avlo-monitor --events: the filters of the command line on a history of known content, the
// text and CSV forms, and the CSV read back by Python's csv module cell for cell.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "history/EventQuery.h"
#include "platform/EventIds.h"
#include "platform/EventSink.h"
#include "support/ScopedTimeZone.h"

using namespace std::string_literals;

namespace {

using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

class EventQueryTest : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/avlo-query-XXXXXX";
        dir_ = mkdtemp(pattern);
        options_.configPath = dir_ + "/site.ini";
        options_.events = true;
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

    // Events at local times of the zone the test sets.
    void Write(const std::vector<EventRecord>& records) {
        CEventStore store;
        ASSERT_TRUE(store.Open(EventStorePath(options_.configPath), CEventStore::Mode::Write))
            << store.LastError();
        ASSERT_TRUE(store.Append(records)) << store.LastError();
    }
    static EventRecord At(int month, int day, int hour, std::uint32_t id, std::uint16_t type,
                          std::string device, std::string text) {
        EventRecord r;
        r.timeUs = LocalToUtcMicros(2026, month, day, hour, 30, 15);
        r.eventId = id;
        r.type = type;
        r.device = std::move(device);
        r.text = std::move(text);
        return r;
    }
    // The query's output and status.
    std::pair<int, std::string> Run(std::string* errors = nullptr) {
        std::FILE* out = std::tmpfile();
        std::FILE* err = std::tmpfile();
        const int status = RunEventQuery(options_, out, err);
        const auto read = [](std::FILE* f) {
            std::string text;
            std::rewind(f);
            char buffer[4096];
            std::size_t n = 0;
            while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
            std::fclose(f);
            return text;
        };
        const std::string output = read(out);
        const std::string errorText = read(err);
        if (errors) *errors = errorText;
        return {status, output};
    }
    static std::vector<std::string> Lines(const std::string& text) {
        std::vector<std::string> lines;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    std::string dir_;
    StartupOptions options_;
};

TEST_F(EventQueryTest, FiltersOfTheCommandLine) {
    const ScopedTimeZone zone("America/New_York");
    Write({At(3, 1, 0, EV_MONITOR_STARTED, EVENTLOG_SUCCESS, "", ""),
           At(3, 1, 23, EV_DEVICE_ALERT, EVENTLOG_ERROR_TYPE, "Amp 1", "fan\r\n\nMessage: *x"),
           At(3, 2, 10, EV_DEVICE_CONNECTION_LOST, EVENTLOG_WARNING_TYPE, "Amp 2", "Amp 2 lost"),
           At(3, 3, 23, EV_DEVICE_CONNECTED, EVENTLOG_INFORMATION_TYPE, "Amp 1", "Amp 1 back"),
           At(3, 4, 0, EV_MONITOR_STOPPED, EVENTLOG_INFORMATION_TYPE, "", "")});
    struct Case {
        std::string since, until, device, type;
        std::vector<std::string> lines;
    };
    const std::string alert =
        "2026-03-01 23:30:15  error        EV_DEVICE_ALERT            Amp 1"
        "  fan |  | Message: *x";
    const std::string lost =
        "2026-03-02 10:30:15  warning      EV_DEVICE_CONNECTION_LOST  Amp 2"
        "  Amp 2 lost";
    const std::string back =
        "2026-03-03 23:30:15  information  EV_DEVICE_CONNECTED        Amp 1"
        "  Amp 1 back";
    const std::string started = "2026-03-01 00:30:15  information  EV_MONITOR_STARTED         -";
    const std::string stopped = "2026-03-04 00:30:15  information  EV_MONITOR_STOPPED         -";
    const Case cases[] = {
        {"", "", "", "", {started, alert, lost, back, stopped}},
        // Local days, both ends included.
        {"2026-03-01", "2026-03-03", "", "", {started, alert, lost, back}},
        {"2026-03-02", "", "", "", {lost, back, stopped}},
        {"", "2026-03-01", "", "", {started, alert}},
        {"", "", "Amp 1", "", {alert, back}},
        {"", "", "Amp", "", {}},
        {"", "", "", "error", {alert}},
        {"", "", "", "warning", {lost}},
        {"", "", "", "information", {started, back, stopped}},
        {"2026-03-02", "", "Amp 1", "information", {back}},
    };
    for (const Case& c : cases) {
        options_.eventsSince = c.since;
        options_.eventsUntil = c.until;
        options_.eventsDevice = c.device;
        options_.eventsType = c.type;
        const auto [status, output] = Run();
        EXPECT_EQ(status, 0);
        EXPECT_THAT(Lines(output), ElementsAreArray(c.lines))
            << c.since << " " << c.until << " " << c.device << " " << c.type;
    }
}

TEST_F(EventQueryTest, CsvReadsBackCellForCellInPython) {
    const ScopedTimeZone zone("UTC");
    // Cells with everything that could split one: commas, quotes, CR LF, lone LF and CR, a
    // leading quote, UTF-8, and empty cells.
    EventRecord tricky = At(5, 6, 7, EV_EMAIL_FAILED, EVENTLOG_ERROR_TYPE, "Amp, \"Main\"",
                            "[4] 550 \"refused\", sorry\r\n\nTo : a@b.c,d@e.f\nline\rend \xC2\xB7");
    tricky.address = "127.0.81.2";
    tricky.serial = "\"S1";
    const EventRecord plain = At(5, 6, 8, EV_MONITOR_STOPPED, EVENTLOG_INFORMATION_TYPE, "", "");
    Write({tricky, plain});
    options_.eventsCsv = true;
    const auto [status, output] = Run();
    ASSERT_EQ(status, 0);
    // RFC 4180: every record ends in CR LF.
    EXPECT_EQ(output.substr(0, 57), "Time,UTC,Type,Event,Event ID,Device,Address,Serial,Text\r\n");
    EXPECT_EQ(output.substr(output.size() - 2), "\r\n");
    const std::string file = dir_ + "/out.csv";
    std::ofstream(file, std::ios::binary) << output;

    const std::string script = AVLO_CORE_FIXTURES "/../../unit/csv_read.py";
    std::FILE* python = popen(("/usr/bin/python3 '" + script + "' '" + file + "'").c_str(), "r");
    ASSERT_NE(python, nullptr);
    std::string hexLines;
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, python)) > 0) hexLines.append(buffer, n);
    ASSERT_EQ(pclose(python), 0) << hexLines;
    const auto hex = [](const std::vector<std::string>& cells) {
        std::string line;
        for (const std::string& cell : cells) {
            if (!line.empty()) line += ' ';
            for (const unsigned char c : cell) {
                static const char digits[] = "0123456789abcdef";
                line += digits[c >> 4];
                line += digits[c & 15];
            }
        }
        return line;
    };
    EXPECT_THAT(
        Lines(hexLines),
        ElementsAreArray({
            hex({"Time", "UTC", "Type", "Event", "Event ID", "Device", "Address", "Serial",
                 "Text"}),
            hex({"2026-05-06 07:30:15", "2026-05-06T07:30:15.000000Z", "error", "EV_EMAIL_FAILED",
                 "0xC0000008", tricky.device, tricky.address, tricky.serial, tricky.text}),
            hex({"2026-05-06 08:30:15", "2026-05-06T08:30:15.000000Z", "information",
                 "EV_MONITOR_STOPPED", "0x4000000B", "", "", "", ""}),
        }));
}

// What a device sent is kept in the history as it came; what --events writes must neither
// drive the terminal (title, clear screen) nor let a NUL glue two events on one line.
TEST_F(EventQueryTest, ControlBytesFromADeviceAreWrittenAsEscapes) {
    const ScopedTimeZone zone("UTC");
    const std::string serial = "H1\x1B]0;title\x07\x1B[2J\0end"s;
    EventRecord alert = At(5, 6, 7, EV_DEVICE_ALERT, EVENTLOG_ERROR_TYPE, "Amp 1",
                           "AVLO Alert [VA-2150, # " + serial + "]: FAN FAILURE");
    alert.serial = serial;
    Write({alert, At(5, 6, 8, EV_MONITOR_STOPPED, EVENTLOG_INFORMATION_TYPE, "", "")});
    const std::string shown = "H1\\x1B]0;title\\x07\\x1B[2J\\x00end";

    const auto [status, output] = Run();
    ASSERT_EQ(status, 0);
    EXPECT_THAT(Lines(output),
                ElementsAreArray(std::vector<std::string>{
                    "2026-05-06 07:30:15  error        EV_DEVICE_ALERT            "
                    "Amp 1  AVLO Alert [VA-2150, # " +
                        shown + "]: FAN FAILURE",
                    "2026-05-06 08:30:15  information  EV_MONITOR_STOPPED         -"}));

    options_.eventsCsv = true;
    const auto [csvStatus, csv] = Run();
    ASSERT_EQ(csvStatus, 0);
    EXPECT_THAT(Lines(csv),
                ElementsAreArray(std::vector<std::string>{
                    "Time,UTC,Type,Event,Event ID,Device,Address,Serial,Text\r",
                    "2026-05-06 07:30:15,2026-05-06T07:30:15.000000Z,error,"
                    "EV_DEVICE_ALERT,0xC0000009,Amp 1,," +
                        shown + ",\"AVLO Alert [VA-2150, # " + shown + "]: FAN FAILURE\"\r",
                    "2026-05-06 08:30:15,2026-05-06T08:30:15.000000Z,information,"
                    "EV_MONITOR_STOPPED,0x4000000B,,,,\r",
                }));
}

TEST_F(EventQueryTest, AHistoryThatCannotBeReadIsAnErrorOnStandardError) {
    std::string errors;
    auto [status, output] = Run(&errors);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(output, "");
    EXPECT_THAT(errors, HasSubstr("site-events.sqlite"));
    EXPECT_THAT(errors, HasSubstr("no event history"));

    std::ofstream(EventStorePath(options_.configPath), std::ios::binary) << std::string(4096, 'z');
    std::tie(status, output) = Run(&errors);
    EXPECT_EQ(status, 1);
    EXPECT_THAT(errors, HasSubstr("not a database"));
}

TEST(EventCsv, FieldsAreQuotedOnlyWhenTheyMustBe) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"", ""},
        {"plain text", "plain text"},
        {"a,b", "\"a,b\""},
        {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {"two\r\nlines", "\"two\r\nlines\""},
        {"lf\nonly", "\"lf\nonly\""},
        {"cr\ronly", "\"cr\ronly\""},
    };
    for (const auto& c : cases) EXPECT_EQ(CsvField(c.in), c.out) << c.in;
}

// A cell that a spreadsheet would compute starts with "'"; controls other than the CSV's own
// line breaks and tabs are escapes.
TEST(EventCsv, FormulasAreDefusedAndControlsEscaped) {
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"=HYPERLINK(\"http://x\")", "\"'=HYPERLINK(\"\"http://x\"\")\""},
        {"=1+2", "'=1+2"},
        {"+1", "'+1"},
        {"-5V out", "'-5V out"},
        {"@SUM(A1)", "'@SUM(A1)"},
        {"\tx", "'\tx"},
        {"\r\n=1", "\"'\r\n=1\""},
        {"a=1, b-2", "\"a=1, b-2\""},
        {" =1", " =1"},
        {"'quoted", "'quoted"},
        {"ESC\x1B[2J", "ESC\\x1B[2J"},
        {"NUL\0cut"s, "NUL\\x00cut"},
        {"\x1B=", "\\x1B="},
        {"tab\tinside", "tab\tinside"},
    };
    for (const auto& c : cases) EXPECT_EQ(CsvField(c.in), c.out) << c.in;
}

}  // namespace
