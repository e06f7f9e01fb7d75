// Faults a hostile or careless host could cause, and kxctl's word on failures.
#include "service_harness.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace it;
using Lines = std::vector<std::string>;

namespace {

const std::string LIST = R"({"type":"listCurrentProcesses"})";
const std::string LIST_REPLY = R"({"data":[],"type":"listOfActiveProcesses"})";
const std::string LOCK = PIPE_DIR + "/kx-services.lock";

std::string nested(const std::string& open, const std::string& close, size_t depth) {
    std::string text;
    for (size_t i = 0; i < depth; ++i)
        text += open;
    for (size_t i = 0; i < depth; ++i)
        text += close;
    return text;
}

} // namespace

TEST_F(ServiceTest, NestingTooDeepIsRefusedWhereverItStands) {
    startConnected();
    const std::string TOO_DEEP = "Linux Services - Invalid JSON: nesting deeper than 512 levels";
    // About 175 KB of brackets inside "data" once crashed the reader while it copied the member.
    for (const std::string& line :
         {R"({"type":"keyPress","data":)" + nested("[", "]", 100000) + "}",
          R"({"type":"getRegionScreenshot","uuid":"u","data":{"x":)" + nested("{\"a\":", "}", 50000) + "}}",
          nested("[", "]", 100000)}) {
        const Logged logged = exchange(line);
        EXPECT_EQ(logged.err, Lines{TOO_DEEP}) << line.substr(0, 60);
    }
    // The limit is far above anything Velloran sends: 511 levels inside "data" are an ordinary message.
    const Logged logged = exchange(R"({"type":"keyPress","data":)" + nested("[", "]", 511) + "}");
    EXPECT_EQ(logged.err, Lines{});
    ASSERT_TRUE(kx::sendLine(conn, LIST));
    EXPECT_EQ(nextReply(), LIST_REPLY);
}

TEST_F(ServiceTest, OneInstanceServesThePipesAndADeadOnesLockIsNoObstacle) {
    startConnected();
    Service second("second");
    second.start();
    const int status = second.waitExit();
    ASSERT_NE(status, -1) << "the second instance still runs";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 24) << "wait status " << status;
    EXPECT_TRUE(contains(second.err(), "Another instance of kx-services (pid " +
                                           std::to_string(service.pid()) +
                                           ") already serves the pipes in /tmp/kx-services."));
    // It touched nothing: the first still has its host, its pipes and its lock.
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(kx::sendLine(conn, LIST));
        EXPECT_EQ(nextReply(), LIST_REPLY);
    }
    EXPECT_EQ(harness::readWholeFile(LOCK), std::to_string(service.pid()) + "\n");

    // A killed instance leaves its lock file behind, but not its lock.
    kx::disconnect(conn);
    service.kill();
    startConnected();
    EXPECT_EQ(harness::readWholeFile(LOCK), std::to_string(service.pid()) + "\n");
    struct stat st {};
    ASSERT_EQ(lstat(LOCK.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(ServiceTest, EndsByBrokenPipeEvenWhenStartedWithTheSignalIgnored) {
    service.start(0, {}, [] { signal(SIGPIPE, SIG_IGN); });
    std::string error;
    ASSERT_TRUE(kx::connectToService(conn, PIPE_DIR, TIMEOUT_MS, error)) << error;
    ASSERT_TRUE(service.waitOut("Waiting for Communication from Velloran..."));
    close(conn.fromService);
    conn.fromService = -1;
    ASSERT_TRUE(kx::sendLine(conn, LIST));
    const int status = service.waitExit();
    ASSERT_NE(status, -1) << "the service outlived its host";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE) << "wait status " << status;
}

namespace {

// Opened before the test covers /tmp, where a build tree may live.
const int KXCTL = open(KXCTL_PATH, O_RDONLY | O_CLOEXEC);

struct Ctl {
    int status = -1;
    std::string out, err;
};

// Runs kxctl to its end; `inPath` (a FIFO the test writes) feeds a batch.
Ctl kxctl(const std::vector<std::string>& args, harness::Process& process, const std::string& inPath = "") {
    harness::SpawnOptions options;
    options.env = harness::baseEnv();
    options.execFd = KXCTL;
    options.outPath = "/tmp/kx-test/kxctl.out";
    options.errPath = "/tmp/kx-test/kxctl.err";
    options.inPath = inPath;
    std::vector<std::string> argv = {"kxctl"};
    argv.insert(argv.end(), args.begin(), args.end());
    mkdir("/tmp/kx-test", 0755);
    EXPECT_TRUE(process.start(argv, options));
    return {};
}

Ctl finish(harness::Process& process) {
    Ctl result;
    result.status = process.wait(TIMEOUT_MS);
    result.out = harness::readWholeFile("/tmp/kx-test/kxctl.out");
    result.err = harness::readWholeFile("/tmp/kx-test/kxctl.err");
    return result;
}

Ctl kxctl(const std::vector<std::string>& args) {
    harness::Process process;
    kxctl(args, process);
    return finish(process);
}

int exitCode(const Ctl& c) {
    return c.status != -1 && WIFEXITED(c.status) ? WEXITSTATUS(c.status) : -1;
}

} // namespace

TEST_F(ServiceTest, KxctlTakesItsOptionsAnywhereAndSaysWhatIsWrong) {
    ASSERT_GE(KXCTL, 0) << KXCTL_PATH;
    for (const auto& args : {Lines{"help"}, Lines{"--help"}, Lines{"list", "-h"}}) {
        const Ctl c = kxctl(args);
        EXPECT_EQ(exitCode(c), 0) << args[0];
        EXPECT_NE(c.out.find("Usage: kxctl"), std::string::npos) << args[0];
    }
    EXPECT_EQ(kxctl({"--version"}).out, "kxctl " KX_VERSION "\n");
    for (const auto& [args, message] : std::vector<std::pair<Lines, std::string>>{
             {{"list", "--timeout"}, "kxctl: --timeout needs a value\n"},
             {{"--dir"}, "kxctl: --dir needs a value\n"},
             {{"list", "--timeout", "soon"}, "kxctl: --timeout needs milliseconds, not: soon\n"},
             {{"frobnicate"}, "kxctl: unknown command: frobnicate\n"}}) {
        const Ctl c = kxctl(args);
        EXPECT_EQ(exitCode(c), 2) << args[0];
        EXPECT_EQ(c.err.substr(0, c.err.find('\n') + 1), message);
    }
    // Options after the command; no service is running, which it says within the timeout.
    const Ctl absent = kxctl({"list", "--timeout", "100", "--dir", "/tmp/none"});
    EXPECT_EQ(exitCode(absent), 1);
    EXPECT_EQ(absent.err,
              "kxctl: kx-services is not running (no /tmp/none/input-services-to-main after 100 ms)\n");
}

TEST_F(ServiceTest, KxctlFailsWhenTheServiceGoesAwayMidway) {
    // send: a closed pipe is not "no reply".
    service.start();
    harness::Process send;
    kxctl({"send", "--wait", "20000", LIST.substr(0, LIST.size() - 1) + ",\"uuid\":1}"}, send);
    ASSERT_TRUE(service.waitErr("Linux Services - Invalid JSON: [json.exception.type_error.302] type must be "
                                "string, but is number"));
    service.kill();
    const Ctl sent = finish(send);
    EXPECT_EQ(exitCode(sent), 1);
    EXPECT_EQ(sent.err, "kxctl: kx-services closed the pipe before replying\n");

    // batch: a wrong line fails alone; once the service is gone the rest is skipped, and said so.
    service.start();
    const std::string input = "/tmp/kx-test/batch";
    ASSERT_EQ(mkfifo(input.c_str(), 0600), 0);
    harness::Process batch;
    kxctl({"batch"}, batch, input);
    const int feed = open(input.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(feed, 0);
    const std::string first = "key sideways 65\nlist\n";
    ASSERT_EQ(write(feed, first.data(), first.size()), ssize_t(first.size()));
    ASSERT_TRUE(waitFor([] {
        return harness::readWholeFile("/tmp/kx-test/kxctl.out").find("No open applications") !=
               std::string::npos;
    })) << harness::readWholeFile("/tmp/kx-test/kxctl.out")
        << harness::readWholeFile("/tmp/kx-test/kxctl.err");
    service.kill();
    const std::string rest = "list\nversion\n";
    ASSERT_EQ(write(feed, rest.data(), rest.size()), ssize_t(rest.size()));
    close(feed);
    const Ctl batched = finish(batch);
    EXPECT_EQ(exitCode(batched), 2); // the first failure's status: the wrong line
    EXPECT_EQ(batched.err, "kxctl: key needs down|up CODE [SPACE]\n"
                           "kxctl: kx-services closed the pipe; 2 later commands were not run\n");
}

// Titles and paths come from any program of the desktop: kxctl shows their control characters escaped,
// so none can drive the terminal that shows the list.
TEST_F(ServiceTest, KxctlListShowsNoControlCharacters) {
    const std::string name = "kx\x1b]0;x\x07\xc2\x9b"
                             "2Jok";
    makeDir("/tmp/bin", 0755);
    ASSERT_TRUE(harness::run({"cp", "/bin/sleep", "/tmp/bin/" + name}, harness::baseEnv()).ok());
    harness::Process named;
    harness::SpawnOptions options;
    options.env = harness::baseEnv();
    ASSERT_TRUE(named.start({"/tmp/bin/" + name, "600"}, options));
    // A Wayland session lists the user's processes.
    service.start(0, {"XDG_SESSION_TYPE=wayland", "WAYLAND_DISPLAY=wayland-kx", "NO_AT_BRIDGE=1"});
    const Ctl listed = kxctl({"list", "--timeout", "20000"});
    EXPECT_EQ(exitCode(listed), 0) << listed.err;
    EXPECT_EQ(listed.out.find_first_of("\x1b\x07"), std::string::npos) << listed.out;
    EXPECT_EQ(listed.out.find("\xc2\x9b"), std::string::npos) << listed.out;
    EXPECT_NE(listed.out.find("/tmp/bin/kx\\x1b]0;x\\x07\\xc2\\x9b2Jok\n"), std::string::npos) << listed.out;
}
