#include "kx-services.h"
#include "platform_interface.h"
#include "tools_report_app_change.h"

#include <atomic>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

using nlohmann::json;

namespace {
// Points pipeOut at a real pipe whose every line is collected by a reader thread, and sends the
// service's log lines to /dev/null for the duration.
struct PipeReader {
    std::vector<std::string> lines;
    std::thread reader;
    int savedStdout = -1;

    PipeReader() {
        int fds[2];
        EXPECT_EQ(pipe(fds), 0);
        pipeOut = fdopen(fds[1], "w");
        reader = std::thread([this, fd = fds[0]] {
            std::string pending;
            char buf[65536];
            for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) {
                pending.append(buf, size_t(n));
                for (size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
                    lines.push_back(pending.substr(0, nl));
                    pending.erase(0, nl + 1);
                }
            }
            EXPECT_TRUE(pending.empty()) << "a line was cut short";
            close(fd);
        });
        fflush(stdout);
        savedStdout = dup(1);
        const int devNull = open("/dev/null", O_WRONLY);
        dup2(devNull, 1);
        close(devNull);
    }

    // Closes the writing end and waits until everything written has been read.
    void finish() {
        fflush(stdout);
        dup2(savedStdout, 1);
        close(savedStdout);
        fclose(pipeOut);
        pipeOut = nullptr;
        reader.join();
    }
};
} // namespace

TEST(ConcurrentWriters, RepliesAndReportsNeverInterleave) {
    constexpr int REPORTERS = 3, REPORTS = 400, REPLIES = 150;
    const std::string bigText(200 * 1024, 'Q'); // far beyond PIPE_BUF: written in many chunks
    PipeReader pipe;
    std::vector<std::thread> writers;
    for (int t = 0; t < REPORTERS; ++t)
        writers.emplace_back([t] {
            for (int i = 0; i < REPORTS; ++i)
                reportApplicationChange(1000 + t, "/usr/bin/app" + std::to_string(t), std::to_string(i),
                                        t % 2);
        });
    writers.emplace_back([&] {
        for (int i = 0; i < REPLIES; ++i)
            writeMessage({{"type", "getRegionScreenshot"},
                          {"uuid", std::to_string(i)},
                          {"data", {{"base64", bigText}}}});
    });
    writers.emplace_back([] {
        for (int i = 0; i < REPLIES; ++i)
            sendApplicationList();
    });
    for (auto& w : writers)
        w.join();
    pipe.finish();

    ASSERT_EQ(pipe.lines.size(), size_t(REPORTERS * REPORTS + 2 * REPLIES));
    std::map<std::string, int> perType;
    std::map<int, int> nextTitle; // reports of one thread arrive in the order it made them
    int nextUuid = 0;
    for (const std::string& line : pipe.lines) {
        json message;
        ASSERT_NO_THROW(message = json::parse(line)) << line.substr(0, 200);
        const std::string type = message.at("type");
        ++perType[type];
        if (type == "applicationChanged") {
            const int pid = message["data"]["pid"];
            EXPECT_EQ(message["data"]["title"], std::to_string(nextTitle[pid]++));
        } else if (type == "getRegionScreenshot") {
            EXPECT_EQ(message["uuid"], std::to_string(nextUuid++));
            EXPECT_EQ(message["data"]["base64"].get_ref<const std::string&>().size(), bigText.size());
        }
    }
    EXPECT_EQ(perType["applicationChanged"], REPORTERS * REPORTS);
    EXPECT_EQ(perType["getRegionScreenshot"], REPLIES);
    EXPECT_EQ(perType["listOfActiveProcesses"], REPLIES);
}

TEST(ConcurrentWriters, SameChangeFromTwoMonitorsIsSentOnce) {
    constexpr int MONITORS = 8, ROUNDS = 50;
    PipeReader pipe;
    for (int round = 0; round < ROUNDS; ++round) {
        std::atomic<int> ready{0};
        std::vector<std::thread> monitors;
        for (int m = 0; m < MONITORS; ++m)
            monitors.emplace_back([&, m] {
                ++ready;
                while (ready < MONITORS)
                    std::this_thread::yield();
                reportApplicationChange(5000, m % 2 ? "/usr/bin/editor" : "editor",
                                        "round " + std::to_string(round), m % 2);
            });
        for (auto& t : monitors)
            t.join();
    }
    pipe.finish();
    ASSERT_EQ(pipe.lines.size(), size_t(ROUNDS));
    for (int round = 0; round < ROUNDS; ++round)
        EXPECT_EQ(json::parse(pipe.lines[round])["data"]["title"], "round " + std::to_string(round));
}
