// The log and dialog texts of every e-mail outcome.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "notify/EmailOutcome.h"
#include "support/EmailOutcomeCases.h"

namespace {

using emailoutcome::Fields;
using emailoutcome::kCases;
using emailoutcome::OutcomeCase;

TEST(EmailOutcomeTexts, EveryOutcome) {
    for (const OutcomeCase& c : kCases) {
        EXPECT_EQ(EmailOutcomeLogText(c.outcome, Fields()), c.log) << c.outcome;
        EXPECT_EQ(EmailOutcomeDialogText(c.outcome, Fields()), c.dialog) << c.outcome;
    }
}

TEST(EmailOutcomeTexts, DisclaimerIsExactAndUtf8) {
    const std::string d = EmailDisclaimer;
    EXPECT_EQ(d.size(), 550u);
    EXPECT_EQ(d.rfind("\r\n______________________________\r\nIMPORTANT / DISCLAIMER\r\n\xC2\xB7 "
                      "The information",
                      0),
              0u);
    EXPECT_EQ(d.substr(d.size() - 20), "electronic defect.\r\n");
    std::size_t bullets = 0;
    for (std::size_t pos = d.find("\xC2\xB7"); pos != std::string::npos;
         pos = d.find("\xC2\xB7", pos + 1))
        ++bullets;
    EXPECT_EQ(bullets, 4u);
}

}  // namespace
