// The exposition format's escaping and numbers: a device name must never break the page.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "Promtool.h"
#include "web/PrometheusText.h"

namespace {

TEST(PrometheusTextTest, LabelValuesEscapeWhatWouldEndOrSplitThem) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"Stage left", "Stage left"},
        {"say \"hi\"", "say \\\"hi\\\""},
        {"C:\\amps", "C:\\\\amps"},
        {"two\nlines", "two\\nlines"},
        {"\\\"\n", "\\\\\\\"\\n"},
        {"Bühne", "Bühne"},
        // A byte that is not UTF-8 becomes U+FFFD instead of spoiling the page.
        {std::string("bad\xff") + "byte",
         "bad\xef\xbf\xbd"
         "byte"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(CPrometheusText::LabelValue(c.in), c.out) << c.in;
}

TEST(PrometheusTextTest, NumbersReadBackAsTheSameValue) {
    const struct {
        double in;
        const char* out;
    } cases[] = {
        {0, "0"},
        {1, "1"},
        {0.005, "0.005"},
        {2.5, "2.5"},
        {1765444615, "1765444615"},
        {20e6, "20000000"},
        {1e300, "1e+300"},
        {-3, "-3"},
        {std::numeric_limits<double>::infinity(), "+Inf"},
        {-std::numeric_limits<double>::infinity(), "-Inf"},
        {std::nan(""), "NaN"},
    };
    for (const auto& c : cases) EXPECT_EQ(CPrometheusText::Number(c.in), c.out);
}

TEST(PrometheusTextTest, APageWithAwkwardLabelsAndHelpIsReadableByPromtool) {
    CPrometheusText text;
    text.Family("avlo_test_info", "A help text with a \\ and a\nline break.", "gauge");
    text.Sample("avlo_test_info", {{"device", "A \"quoted\"\\ name\nover two lines"}}, 1);
    text.Sample("avlo_test_info", {{"device", std::string("bad\xfe")}}, 1);
    EXPECT_EQ(text.Text(),
              "# HELP avlo_test_info A help text with a \\\\ and a\\nline break.\n"
              "# TYPE avlo_test_info gauge\n"
              "avlo_test_info{device=\"A \\\"quoted\\\"\\\\ name\\nover two lines\"} 1\n"
              "avlo_test_info{device=\"bad\xef\xbf\xbd\"} 1\n");
    EXPECT_PROMTOOL_ACCEPTS(text.Text());
}

}  // namespace
