#pragma once

// Debian's promtool, which reads a metrics page the way a scraper does and lints its names.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <QStandardPaths>
#include <QTemporaryFile>
#include <cstdio>
#include <string>

struct PromtoolVerdict {
    bool ran = false;
    int exitCode = -1;
    std::string output;  // what it said on either stream
};

// Run through the C library's popen rather than QProcess: Qt starts children with a raw
// clone(), which the thread sanitizer's build cannot follow.
inline PromtoolVerdict PromtoolCheckMetrics(const std::string& page) {
    PromtoolVerdict verdict;
    const QString promtool = QStandardPaths::findExecutable(QStringLiteral("promtool"));
    if (promtool.isEmpty()) return verdict;
    QTemporaryFile file;
    if (!file.open() || file.write(page.data(), static_cast<qint64>(page.size())) !=
                            static_cast<qint64>(page.size())) {
        return verdict;
    }
    file.flush();
    const std::string command = "timeout 30 '" + promtool.toStdString() +
                                "' check metrics < '" + file.fileName().toStdString() + "' 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return verdict;
    char buffer[4096];
    std::size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) verdict.output.append(buffer, n);
    const int status = pclose(pipe);
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) == 124) return verdict;
    verdict.ran = true;
    verdict.exitCode = WEXITSTATUS(status);
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
