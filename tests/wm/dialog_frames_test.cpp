// What the program's fixed-size windows ask of the window manager, and what it offers them:
// moving and closing, neither resizing nor maximising, and no minimising either (a minimised
// modal dialog would leave its owner blocked with nothing on screen to give it back). Openbox
// offers minimising on every window whatever the Motif hints say, so the request is read from
// the hints; the window managers that follow them (KWin, Xfwm, Metacity and others) show no
// such buttons.
#include <gtest/gtest.h>

#include "DialogBench.h"
#include "XWindowFacts.h"

namespace {

using xfacts::MotifHints;

std::string Hex(unsigned bits) {
    return QStringLiteral("0x%1").arg(bits, 0, 16).toStdString();
}

TEST(FixedSizeWindows, AskForNeitherMinimiseNorMaximiseAndAreNotResizable) {
    DialogBench bench;
    for (const DialogBench::Window& entry : bench.Windows()) {
        if (!entry.fixedSize) continue;
        QWidget* window = entry.open();
        ASSERT_NE(window, nullptr) << entry.name;
        ASSERT_TRUE(xfacts::WaitUntilManaged(*window)) << entry.name;

        const auto motif = xfacts::Motif(*window);
        ASSERT_TRUE(motif.has_value()) << entry.name;
        EXPECT_TRUE(motif->flags & MotifHints::HasFunctions) << entry.name;
        EXPECT_EQ(motif->functions &
                      (MotifHints::FuncAll | MotifHints::FuncMinimize | MotifHints::FuncMaximize),
                  0u)
            << entry.name << " functions " << Hex(motif->functions);
        EXPECT_TRUE(motif->functions & MotifHints::FuncClose) << entry.name;
        EXPECT_EQ(motif->decorations & (MotifHints::DecorAll | MotifHints::DecorMinimize |
                                        MotifHints::DecorMaximize),
                  0u)
            << entry.name << " decorations " << Hex(motif->decorations);

        const QStringList actions = xfacts::AllowedActions(*window);
        EXPECT_TRUE(actions.contains(QStringLiteral("_NET_WM_ACTION_CLOSE"))) << entry.name;
        EXPECT_TRUE(actions.contains(QStringLiteral("_NET_WM_ACTION_MOVE"))) << entry.name;
        for (const char* refused : {"_NET_WM_ACTION_MAXIMIZE_HORZ", "_NET_WM_ACTION_MAXIMIZE_VERT",
                                    "_NET_WM_ACTION_RESIZE"}) {
            EXPECT_FALSE(actions.contains(QString::fromLatin1(refused)))
                << entry.name << " offers " << refused;
        }
        bench.CloseAll();
    }
}

}  // namespace
