// Every window's caption as the window manager shows it: exactly the window's own caption, with
// nothing added by the toolkit, also for the small condition window whose title bar has no
// room to spare.
#include <gtest/gtest.h>

#include "DialogBench.h"
#include "XWindowFacts.h"
#include "app/ProgramEntry.h"

namespace {

TEST(WindowCaptions, AreTheWindowsOwnCaptionsAsTheWindowManagerReadsThem) {
    NameApplication();
    DialogBench bench;
    for (const DialogBench::Window& entry : bench.Windows()) {
        QWidget* window = entry.open();
        ASSERT_NE(window, nullptr) << entry.name;
        ASSERT_TRUE(xfacts::WaitUntilManaged(*window)) << entry.name;
        EXPECT_EQ(xfacts::Caption(*window), entry.caption) << entry.name;
        bench.CloseAll();
    }
}

}  // namespace
