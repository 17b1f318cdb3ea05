#pragma once

// Debian's promtool, which reads a metrics page the way a scraper does and lints its names.
#include <gtest/gtest.h>

#include <QProcess>
#include <QStandardPaths>
#include <string>

struct PromtoolVerdict {
    bool ran = false;
    int exitCode = -1;
    std::string output;  // what it said on either stream
};

inline PromtoolVerdict PromtoolCheckMetrics(const std::string& page) {
    PromtoolVerdict verdict;
    const QString promtool = QStandardPaths::findExecutable(QStringLiteral("promtool"));
    if (promtool.isEmpty()) return verdict;
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(promtool, {QStringLiteral("check"), QStringLiteral("metrics")});
    if (!process.waitForStarted(10000)) return verdict;
    process.write(page.data(), static_cast<qint64>(page.size()));
    process.closeWriteChannel();
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
        return verdict;
    }
    verdict.ran = true;
    verdict.exitCode = process.exitCode();
    verdict.output = process.readAll().toStdString();
    return verdict;
}

// promtool is part of the project's set-up (scripts/setup.sh); without it the check cannot
// be made, which is a failure, not a pass.
#define EXPECT_PROMTOOL_ACCEPTS(page)                                       \
    do {                                                                    \
        const PromtoolVerdict verdict_ = PromtoolCheckMetrics(page);        \
        ASSERT_TRUE(verdict_.ran) << "promtool missing or did not finish";  \
        EXPECT_EQ(verdict_.exitCode, 0) << verdict_.output << "\n" << page; \
        EXPECT_EQ(verdict_.output, "") << page;                             \
    } while (0)
