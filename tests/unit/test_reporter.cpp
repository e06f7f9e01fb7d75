#include "kx-services.h"
#include "tools_report_app_change.h"

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {
// Collects the lines the reporter writes to pipeOut during one test. The reporter's memory of the
// last report lives for the whole process, so each test uses process IDs of its own.
struct PipeOutCapture {
    FILE* previous = pipeOut;
    PipeOutCapture() { pipeOut = tmpfile(); }
    ~PipeOutCapture() {
        fclose(pipeOut);
        pipeOut = previous;
    }
    std::vector<std::string> lines() {
        std::vector<std::string> out;
        rewind(pipeOut);
        std::string line;
        for (int c; (c = fgetc(pipeOut)) != EOF;) {
            if (c == '\n') {
                out.push_back(line);
                line.clear();
            } else {
                line.push_back(char(c));
            }
        }
        EXPECT_TRUE(line.empty()) << "unterminated line: " << line;
        return out;
    }
};

std::string report(int pid, const std::string& proc, const std::string& title) {
    return "{\"data\":{\"pid\":" + std::to_string(pid) + ",\"proc\":\"" + proc + "\",\"title\":\"" + title +
           "\"},\"type\":\"applicationChanged\"}";
}
} // namespace

TEST(ReportApplicationChange, SendsOnlyWhatDiffersFromTheLastReportSent) {
    PipeOutCapture capture;
    reportApplicationChange(101, "/usr/bin/xterm", "A", false);
    reportApplicationChange(101, "/opt/other/xterm", "A", true); // same base name: duplicate
    reportApplicationChange(101, "xterm", "A", false);           // still a duplicate
    reportApplicationChange(101, "/usr/bin/xterm", "B", false);  // title change within one application
    reportApplicationChange(101, "/usr/bin/xterm", "A", false);  // A, B, A: only the last one counts
    reportApplicationChange(102, "/usr/bin/xterm", "A", false);  // another process
    reportApplicationChange(102, "/usr/bin/XTerm", "A", false);  // comparison is case-sensitive
    reportApplicationChange(102, "/usr/bin/XTerm", "a", false);
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{
                                   report(101, "/usr/bin/xterm", "A"), report(101, "/usr/bin/xterm", "B"),
                                   report(101, "/usr/bin/xterm", "A"), report(102, "/usr/bin/xterm", "A"),
                                   report(102, "/usr/bin/XTerm", "A"), report(102, "/usr/bin/XTerm", "a")}));
}

TEST(ReportApplicationChange, DropsReportsWithoutAProcessOrAPipe) {
    PipeOutCapture capture;
    reportApplicationChange(0, "/usr/bin/a", "x", false);
    reportApplicationChange(-7, "/usr/bin/a", "x", false);
    {
        FILE* open = pipeOut;
        pipeOut = nullptr;
        reportApplicationChange(201, "/usr/bin/a", "x", false);
        pipeOut = open;
    }
    // Dropped reports did not become "the last one sent": this one still goes out.
    reportApplicationChange(201, "/usr/bin/a", "x", false);
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{report(201, "/usr/bin/a", "x")}));
}

TEST(ReportApplicationChange, EmptyAndNonUtf8TextsStillReachVelloran) {
    PipeOutCapture capture;
    reportApplicationChange(301, "", "", false);
    reportApplicationChange(301, "/bin/\xff", "caf\xe9", false);
    reportApplicationChange(301, "/bin/\xff", "caf\xe9", false);
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{report(301, "", ""), report(301, "/bin/\xef\xbf\xbd",
                                                                                     "caf\xef\xbf\xbd")}));
}
