// This process's figures for the metrics page: the stat line read in the kernel's units, and
// the live reading.
#include <gtest/gtest.h>

#include <ctime>

#include "platform/ProcessFigures.h"

namespace {

TEST(ProcessFiguresTest, StatLineFieldsAfterAnAwkwardCommandName) {
    // Fields 14 utime, 15 stime, 22 starttime (ticks after boot), 23 vsize (bytes),
    // 24 rss (pages); the name holds spaces and a ") " of its own.
    const std::string line =
        "4242 (avlo ) (x) y) S 1 4242 4242 0 -1 4194560 100 0 0 0 250 50 0 0 20 0 3 0 "
        "10000 123456789 300 18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 0 17 1 0 0 0 0 0";
    const std::optional<ProcessFigures> f = FiguresFromStat(line, 100, 4096, 1765000000);
    ASSERT_TRUE(f);
    EXPECT_DOUBLE_EQ(f->CpuSeconds, 3.0);
    EXPECT_DOUBLE_EQ(f->StartTimeSeconds, 1765000100.0);
    EXPECT_DOUBLE_EQ(f->VirtualBytes, 123456789.0);
    EXPECT_DOUBLE_EQ(f->ResidentBytes, 300.0 * 4096);
}

TEST(ProcessFiguresTest, ALineItCannotReadGivesNoFigures) {
    for (const char* line : {"", "4242 no parenthesis S 1", "4242 (short) S 1 2 3"}) {
        EXPECT_FALSE(FiguresFromStat(line, 100, 4096, 0)) << line;
    }
}

TEST(ProcessFiguresTest, TheLiveProcessHasPlausibleFigures) {
    const std::optional<ProcessFigures> f = ReadProcessFigures();
    ASSERT_TRUE(f);
    EXPECT_GT(f->ResidentBytes, 1e5);
    EXPECT_GE(f->VirtualBytes, f->ResidentBytes);
    EXPECT_GE(f->OpenDescriptors, 3);  // at least the standard streams
    EXPECT_GE(f->MaxDescriptors, f->OpenDescriptors);
    const double now = static_cast<double>(std::time(nullptr));
    // Started a moment ago: within the test's run, allowing for the tick's rounding.
    EXPECT_LE(f->StartTimeSeconds, now + 1);
    EXPECT_GT(f->StartTimeSeconds, now - 600);
    EXPECT_GE(f->CpuSeconds, 0);
}

}  // namespace
