#include "service_harness.h"

#include <map>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace it;

namespace {

const std::string DUMMY_INIT = "[dummy] platform not supported";

struct stat lstatOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st;
}

void expectNode(const std::string& path, bool fifo, mode_t mode, uid_t uid) {
    const struct stat st = lstatOf(path);
    EXPECT_EQ(fifo ? S_ISFIFO(st.st_mode) : S_ISDIR(st.st_mode), true) << path;
    EXPECT_EQ(st.st_mode & 07777, mode) << path;
    EXPECT_EQ(st.st_uid, uid) << path;
}

std::vector<std::string> withoutFocusLine(std::vector<std::string> lines) {
    lines.erase(std::remove(lines.begin(), lines.end(), NO_FOCUS_MONITOR), lines.end());
    return lines;
}

} // namespace

TEST_F(ServiceTest, StartsInOrderAndWaitsForTheHostAtEachPipe) {
    service.start();
    ASSERT_TRUE(service.waitOut("Creating piped files... Created PIPE IN"));
    // Nobody reads the outgoing pipe yet, so the service must be stuck opening it.
    sleepMs(SETTLE_MS);
    EXPECT_EQ(service.out(),
              (std::vector<std::string>{"Initiating platform detection...", "Creating piped files...",
                                        "Creating piped files... Ensured directory structure",
                                        "Creating piped files... Created PIPE IN"}));
    EXPECT_EQ(service.err(), (std::vector<std::string>{DUMMY_INIT, ""}));
    expectNode(PIPE_DIR, false, 0700, 0);
    expectNode(PIPE_IN, true, 0600, 0);
    expectNode(PIPE_OUT, true, 0600, 0);

    const int fromService = open(PIPE_OUT.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fromService, 0);
    ASSERT_TRUE(service.waitOut("Init complete, running..."));
    ASSERT_TRUE(service.waitOut("Starting Thread for Communication from Velloran..."));
    ASSERT_TRUE(service.waitErr(NO_FOCUS_MONITOR));
    // The reader now waits for the host to open the incoming pipe.
    sleepMs(SETTLE_MS);
    EXPECT_FALSE(contains(service.out(), "Waiting for Communication from Velloran..."));

    const int toService = open(PIPE_IN.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(toService, 0);
    ASSERT_TRUE(service.waitOut("Waiting for Communication from Velloran..."));
    std::vector<std::string> out = service.out(); // before the reader sees the end of input
    close(toService);
    close(fromService);

    // The reader thread's lines may fall anywhere after its launch line; the main thread's are fixed.
    const auto launch =
        std::find(out.begin(), out.end(), "Launching thread: Listening to commands from Velloran...");
    const auto starting =
        std::find(out.begin(), out.end(), "Starting Thread for Communication from Velloran...");
    ASSERT_NE(starting, out.end());
    EXPECT_LT(launch, starting);
    EXPECT_EQ(out.back(), "Waiting for Communication from Velloran...");
    out.erase(starting);
    out.pop_back();
    EXPECT_EQ(out, (std::vector<std::string>{
                       "Initiating platform detection...",
                       "Creating piped files...",
                       "Creating piped files... Ensured directory structure",
                       "Creating piped files... Created PIPE IN",
                       "Creating piped files... Created PIPE OUT",
                       "Launching thread: Listening to Application focus...           (Not Implemented)",
                       "Launching thread: Listening to Audio changes...               (Not implemented)",
                       "Launching thread: Listening to commands from Velloran...",
                       "Init complete, running...",
                   }));
    EXPECT_EQ(service.err(), (std::vector<std::string>{DUMMY_INIT, "", NO_FOCUS_MONITOR}));
    EXPECT_TRUE(service.running());
}

TEST_F(ServiceTest, ReusesFifosAndReplacesDanglingLinks) {
    makeDir(PIPE_DIR, 0700);
    makeFifo(PIPE_IN, 0620);
    ASSERT_EQ(symlink("/tmp/nowhere", PIPE_OUT.c_str()), 0);
    const ino_t inode = lstatOf(PIPE_IN).st_ino;

    startConnected();
    EXPECT_EQ(lstatOf(PIPE_IN).st_ino, inode);
    expectNode(PIPE_IN, true, 0620, 0);
    expectNode(PIPE_OUT, true, 0600, 0);
    EXPECT_NE(access("/tmp/nowhere", F_OK), 0);
    ASSERT_TRUE(kx::sendLine(conn, R"({"type":"listCurrentProcesses"})"));
    EXPECT_EQ(nextReply(), R"({"data":[],"type":"listOfActiveProcesses"})");
}

TEST_F(ServiceTest, RunsAsAnOrdinaryUserInAPrivateDirectory) {
    startConnected(NOBODY);
    expectNode(PIPE_DIR, false, 0700, NOBODY);
    expectNode(PIPE_IN, true, 0600, NOBODY);
    expectNode(PIPE_OUT, true, 0600, NOBODY);
    ASSERT_TRUE(
        kx::sendLine(conn, R"({"type":"getRegionScreenshot","uuid":"n","data":{"x":0,"y":0,"w":1,"h":1}})"));
    EXPECT_EQ(nextReply(), R"({"data":{"base64":""},"type":"getRegionScreenshot","uuid":"n"})");

    // The next run of the same user trusts and reuses what the first one left behind.
    kx::disconnect(conn);
    service.kill();
    service.start(NOBODY);
    ASSERT_TRUE(service.waitOut("Creating piped files... Created PIPE IN"));
    std::string error;
    ASSERT_TRUE(kx::connectToService(conn, PIPE_DIR, TIMEOUT_MS, error)) << error;
    ASSERT_TRUE(service.waitOut("Waiting for Communication from Velloran..."));
}

namespace {

struct FailureCase {
    const char* name;
    uid_t uid;                     // the user the service runs as
    std::function<void()> prepare; // lays out /tmp before the start
    int status;                    // exit status
    std::vector<std::string> err;  // stderr after the backend's lines, the focus thread's line aside
};

void ownDir(uid_t uid, mode_t mode = 0700) {
    makeDir(PIPE_DIR, mode, uid);
}

const std::string NO_DIR = "Failed to setup directory for piped files.";
const std::string NO_IN = "Failed to create piped file for incoming communication.";
const std::string NO_OUT = "Failed to create piped file for outgoing communication.";
const std::string DENIED = "mkfifo failed: Permission denied";
// A directory the service may not write to cannot hold its lock file either; it says so and goes on.
const std::string NO_LOCK = "open PIPE_LOCK failed: Permission denied";

// clang-format off
const FailureCase FAILURES[] = {
    {"TmpNotWritable", NOBODY, [] { chmod("/tmp", 0755); },
     20, {"mkdir PIPE_DIR failed: Permission denied", NO_DIR}},
    {"DirIsSymlink", 0, [] { makeDir("/tmp/elsewhere", 0700); symlink("/tmp/elsewhere", PIPE_DIR.c_str()); },
     20, {PIPE_DIR + ": is a symbolic link, not a directory", NO_DIR}},
    {"DirOfAnotherUser", NOBODY, [] { ownDir(0); },
     20, {PIPE_DIR + ": owned by uid 0, not by this user (uid 65534)", NO_DIR}},
    {"DirOpenToOthers", 0, [] { ownDir(0, 0701); },
     20, {PIPE_DIR + ": mode 0701 gives group or other users access (must be 0700)", NO_DIR}},
    {"DirOpenToGroup", NOBODY, [] { ownDir(NOBODY, 0770); },
     20, {PIPE_DIR + ": mode 0770 gives group or other users access (must be 0700)", NO_DIR}},
    {"DirIsRegularFile", 0, [] { writeFile(PIPE_DIR, "keep"); },
     21, {"mkfifo failed: Not a directory", NO_IN}},
    {"InPipeIsRegularFile", 0, [] { ownDir(0); writeFile(PIPE_IN, "keep"); },
     21, {NO_IN}},
    {"OutPipeIsRegularFile", 0, [] { ownDir(0); writeFile(PIPE_OUT, "keep"); },
     22, {NO_OUT}},
    {"InPipeCannotBeMade", NOBODY, [] { ownDir(NOBODY, 0500); },
     21, {NO_LOCK, DENIED, NO_IN}},
    {"OutPipeCannotBeMade", NOBODY,
     [] { ownDir(NOBODY); makeFifo(PIPE_IN, 0600, NOBODY); chmod(PIPE_DIR.c_str(), 0500); },
     22, {NO_LOCK, DENIED, NO_OUT}},
    {"OutPipeOfAnotherUser", NOBODY,
     [] { ownDir(NOBODY); makeFifo(PIPE_IN, 0600, NOBODY); makeFifo(PIPE_OUT, 0600, 0); },
     23, {"Cannot connect to piped file for outgoing communication"}},
    // The reader opens the incoming pipe only once a host reads the outgoing one, which the test does.
    {"InPipeOfAnotherUser", NOBODY,
     [] { ownDir(NOBODY); makeFifo(PIPE_IN, 0600, 0); makeFifo(PIPE_OUT, 0600, NOBODY); },
     31, {"Cannot open piped file for incoming communication"}},
};
// clang-format on

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

class StartupFailure : public ServiceTest, public testing::WithParamInterface<FailureCase> {};

} // namespace

TEST_P(StartupFailure, EndsWithItsStatusAndReason) {
    const FailureCase& c = GetParam();
    c.prepare();
    int fromService = -1;
    if (c.status == 31) {
        fromService = open(PIPE_OUT.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(fromService, 0);
    }

    service.start(c.uid);
    const int status = service.waitExit();
    if (fromService >= 0) close(fromService);
    ASSERT_NE(status, -1) << "still running";
    ASSERT_TRUE(WIFEXITED(status)) << "wait status " << status;
    EXPECT_EQ(WEXITSTATUS(status), c.status);

    std::vector<std::string> err = {DUMMY_INIT, ""};
    err.insert(err.end(), c.err.begin(), c.err.end());
    EXPECT_EQ(withoutFocusLine(service.err()), err);
    const std::vector<std::string> out = service.out();
    ASSERT_FALSE(out.empty());
    const std::map<int, std::string> lastOut = {{20, "Creating piped files..."},
                                                {21, "Creating piped files... Ensured directory structure"},
                                                {22, "Creating piped files... Created PIPE IN"},
                                                {23, "Creating piped files... Created PIPE IN"}};
    if (c.status != 31) {
        EXPECT_EQ(out.back(), lastOut.at(c.status));
    }
    EXPECT_EQ(contains(out, "Starting Thread for Communication from Velloran..."), c.status == 31);
    EXPECT_FALSE(contains(out, "Waiting for Communication from Velloran..."));

    // What was there is left alone, and nothing is made past a refused directory.
    for (const std::string& path : {PIPE_DIR, PIPE_IN, PIPE_OUT}) {
        struct stat st {};
        if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            EXPECT_EQ(harness::readWholeFile(path), "keep") << path;
        }
    }
    if (c.status == 20) {
        EXPECT_NE(access(PIPE_IN.c_str(), F_OK), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(, StartupFailure, testing::ValuesIn(FAILURES),
                         [](const testing::TestParamInfo<FailureCase>& info) { return info.param.name; });
