#include "kx_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

const bool SIGPIPE_IGNORED = [] {
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}();

void writeAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        ASSERT_GT(n, 0);
        done += size_t(n);
    }
}

// A connection whose read end is a plain pipe; `writer` plays the service.
struct PipePair {
    kx::Connection conn;
    int writer = -1;
    PipePair() {
        int fds[2];
        EXPECT_EQ(pipe(fds), 0);
        fcntl(fds[0], F_SETFL, O_NONBLOCK);
        conn.fromService = fds[0];
        writer = fds[1];
    }
    ~PipePair() {
        if (writer >= 0) close(writer);
        kx::disconnect(conn);
    }
    void closeWriter() {
        close(writer);
        writer = -1;
    }
};

struct TempDir {
    std::string path;
    TempDir() {
        char tmpl[] = "/tmp/kxclient-test-XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() {
        unlink((path + "/" + kx::PIPE_FROM_SERVICE).c_str());
        unlink((path + "/" + kx::PIPE_TO_SERVICE).c_str());
        rmdir(path.c_str());
    }
    std::string from() const { return path + "/" + kx::PIPE_FROM_SERVICE; }
    std::string to() const { return path + "/" + kx::PIPE_TO_SERVICE; }
    void makeFifos() const {
        mkfifo(from().c_str(), 0600);
        mkfifo(to().c_str(), 0600);
    }
};

// Opens the pipes the way kx-services does: blocking, outgoing first.
struct FakeService {
    int out = -1;
    int in = -1;
    void open(const TempDir& dir) {
        out = ::open(dir.from().c_str(), O_WRONLY);
        in = ::open(dir.to().c_str(), O_RDONLY);
    }
    ~FakeService() {
        if (out >= 0) close(out);
        if (in >= 0) close(in);
    }
};

std::string readRequest(int fd) {
    std::string line;
    char c;
    while (read(fd, &c, 1) == 1 && c != '\n')
        line += c;
    return line;
}

TEST(ReadLine, SplitsLinesArrivingTogetherAndJoinsLinesArrivingInPieces) {
    PipePair p;
    std::string line;
    writeAll(p.writer, "first\nsecond\n\nthi");
    EXPECT_EQ(kx::readLine(p.conn, line, 1000), kx::ReadStatus::Line);
    EXPECT_EQ(line, "first");
    EXPECT_EQ(kx::readLine(p.conn, line, 1000), kx::ReadStatus::Line);
    EXPECT_EQ(line, "second");
    EXPECT_EQ(kx::readLine(p.conn, line, 1000), kx::ReadStatus::Line);
    EXPECT_EQ(line, "");
    EXPECT_EQ(kx::readLine(p.conn, line, 20), kx::ReadStatus::Timeout);
    writeAll(p.writer, "rd\n");
    EXPECT_EQ(kx::readLine(p.conn, line, 1000), kx::ReadStatus::Line);
    EXPECT_EQ(line, "third");
}

TEST(ReadLine, TimesOutWithinItsLimitWhenNothingComes) {
    PipePair p;
    std::string line;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(kx::readLine(p.conn, line, 50), kx::ReadStatus::Timeout);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_FALSE(p.conn.closed);
}

TEST(ReadLine, ReturnsBufferedLinesBeforeReportingEndOfInputAndKeepsAnUnterminatedTail) {
    PipePair p;
    std::string line;
    writeAll(p.writer, "last\ntruncated");
    p.closeWriter();
    EXPECT_EQ(kx::readLine(p.conn, line, 1000), kx::ReadStatus::Line);
    EXPECT_EQ(line, "last");
    EXPECT_EQ(kx::readLine(p.conn, line, 1000), kx::ReadStatus::Closed);
    EXPECT_TRUE(p.conn.closed);
    EXPECT_EQ(p.conn.pending, "truncated");
    EXPECT_EQ(kx::readLine(p.conn, line, 1000), kx::ReadStatus::Closed);
}

TEST(ReadLine, DeliversAMultiMegabyteLineWhole) {
    PipePair p;
    std::string big(12 << 20, 'A');
    for (size_t i = 0; i < big.size(); i += 4099)
        big[i] = char('a' + i % 26);
    std::thread writer([&] { writeAll(p.writer, big + "\nnext\n"); });
    std::string line;
    EXPECT_EQ(kx::readLine(p.conn, line, 10000), kx::ReadStatus::Line);
    EXPECT_TRUE(line == big);
    EXPECT_EQ(kx::readLine(p.conn, line, 10000), kx::ReadStatus::Line);
    EXPECT_EQ(line, "next");
    writer.join();
}

TEST(AwaitMessage, SetsAsideOtherMessagesAndSkipsLinesThatAreNotJson) {
    PipePair p;
    writeAll(p.writer, "{\"data\":{\"pid\":7},\"type\":\"applicationChanged\"}\n"
                       "not json\n"
                       "[1,2]\n"
                       "{\"data\":[],\"type\":\"listOfActiveProcesses\"}\n"
                       "{\"data\":{\"pid\":8},\"type\":\"applicationChanged\"}\n");
    nlohmann::json reply;
    std::vector<nlohmann::json> others;
    ASSERT_TRUE(kx::awaitMessage(p.conn, "listOfActiveProcesses", reply, 1000, &others));
    EXPECT_EQ(reply["data"], nlohmann::json::array());
    ASSERT_EQ(others.size(), 2u);
    EXPECT_EQ(others[0]["data"]["pid"], 7);
    EXPECT_EQ(others[1], nlohmann::json::array({1, 2}));
    // The report after the reply is left for the next wait.
    ASSERT_TRUE(kx::awaitMessage(p.conn, "applicationChanged", reply, 1000));
    EXPECT_EQ(reply["data"]["pid"], 8);
}

TEST(AwaitMessage, KeepsWaitingForTheWholeLimitWhileOtherMessagesArrive) {
    PipePair p;
    std::thread writer([&] {
        for (int i = 0; i < 10; ++i) {
            writeAll(p.writer, "{\"type\":\"applicationChanged\"}\n");
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    nlohmann::json reply;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(kx::awaitMessage(p.conn, "listOfActiveProcesses", reply, 100));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    EXPECT_FALSE(p.conn.closed);
    writer.join();
}

TEST(AwaitMessage, FailsWhenTheServiceCloses) {
    PipePair p;
    writeAll(p.writer, "{\"type\":\"applicationChanged\"}\n");
    p.closeWriter();
    nlohmann::json reply;
    EXPECT_FALSE(kx::awaitMessage(p.conn, "listOfActiveProcesses", reply, 5000));
    EXPECT_TRUE(p.conn.closed);
}

TEST(Connect, MeetsAServiceThatStartsLaterAndExchangesLines) {
    TempDir dir;
    FakeService service;
    std::thread starter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        dir.makeFifos();
        service.open(dir);
    });
    kx::Connection conn;
    std::string error;
    ASSERT_TRUE(kx::connectToService(conn, dir.path, 5000, error)) << error;
    starter.join();

    // Region screenshot: a stale reply with another uuid must not be taken for ours.
    std::thread responder([&] {
        const auto request = nlohmann::json::parse(readRequest(service.in));
        const std::string uuid = request["uuid"];
        EXPECT_EQ(request["type"], "getRegionScreenshot");
        EXPECT_EQ(request["data"], nlohmann::json({{"x", 1}, {"y", 2}, {"w", 3}, {"h", 4}}));
        writeAll(service.out,
                 "{\"data\":{\"base64\":\"c3RhbGU=\"},\"type\":\"getRegionScreenshot\",\"uuid\":\"old\"}\n"
                 "{\"data\":{\"base64\":\"QUJD\"},\"type\":\"getRegionScreenshot\",\"uuid\":\"" +
                     uuid + "\"}\n");
    });
    std::string base64;
    std::vector<nlohmann::json> others;
    EXPECT_TRUE(kx::requestRegionScreenshot(conn, 1, 2, 3, 4, base64, 5000, &others));
    responder.join();
    EXPECT_EQ(base64, "QUJD");
    ASSERT_EQ(others.size(), 1u);
    EXPECT_EQ(others[0]["uuid"], "old");

    ASSERT_TRUE(kx::sendKey(conn, true, 65, 1));
    const auto key = nlohmann::json::parse(readRequest(service.in));
    EXPECT_EQ(key["type"], "keyDown");
    EXPECT_EQ(key["data"], nlohmann::json({{"keyValue", 65}, {"keyType", 1}}));

    // A service that stops reading fills the pipe; a write then gives up after the connection's timeout
    // instead of blocking for ever.
    conn.sendTimeoutMs = 100;
    const std::string line(4096, 'x');
    bool sent = true;
    for (int i = 0; i < 1000 && sent; ++i)
        sent = kx::sendLine(conn, line);
    EXPECT_FALSE(sent) << "the pipe never filled";

    // Writing after the service is gone must fail at once.
    close(service.in);
    service.in = -1;
    EXPECT_FALSE(kx::sendLine(conn, "{}"));
    kx::disconnect(conn);
}

TEST(Connect, GivesUpWithAClearMessageWhenNoServiceReads) {
    TempDir dir;
    dir.makeFifos();
    kx::Connection conn;
    std::string error;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(kx::connectToService(conn, dir.path, 100, error));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    EXPECT_NE(error.find("not running"), std::string::npos) << error;
    EXPECT_NE(error.find(dir.to()), std::string::npos) << error;
    EXPECT_EQ(conn.fromService, -1);
    EXPECT_EQ(conn.toService, -1);
}

TEST(Connect, GivesUpWhenThePipesNeverAppear) {
    TempDir dir;
    kx::Connection conn;
    std::string error;
    EXPECT_FALSE(kx::connectToService(conn, dir.path, 50, error));
    EXPECT_NE(error.find("not running"), std::string::npos) << error;
    EXPECT_EQ(conn.fromService, -1);
}

TEST(Connect, RefusesAPlainFileWhereAPipeShouldBe) {
    TempDir dir;
    close(open(dir.from().c_str(), O_CREAT | O_WRONLY, 0600));
    kx::Connection conn;
    std::string error;
    EXPECT_FALSE(kx::connectToService(conn, dir.path, 50, error));
    EXPECT_NE(error.find("not a named pipe"), std::string::npos) << error;
    EXPECT_EQ(conn.fromService, -1);
}

TEST(DecodeBase64, DecodesEveryPaddingLength) {
    std::string bytes;
    EXPECT_TRUE(kx::decodeBase64("", bytes));
    EXPECT_EQ(bytes, "");
    EXPECT_TRUE(kx::decodeBase64("QQ==", bytes));
    EXPECT_EQ(bytes, "A");
    EXPECT_TRUE(kx::decodeBase64("QUI=", bytes));
    EXPECT_EQ(bytes, "AB");
    EXPECT_TRUE(kx::decodeBase64("AP8+/w==", bytes));
    EXPECT_EQ(bytes, std::string("\x00\xff\x3e\xff", 4));
}

TEST(DecodeBase64, RejectsTextThatIsNotBase64) {
    std::string bytes;
    EXPECT_FALSE(kx::decodeBase64("QUJ", bytes));     // truncated
    EXPECT_FALSE(kx::decodeBase64("QU=D", bytes));    // pad inside
    EXPECT_FALSE(kx::decodeBase64("Q===", bytes));    // too much pad
    EXPECT_FALSE(kx::decodeBase64("QU\nJD", bytes));  // line break
    EXPECT_FALSE(kx::decodeBase64("QUJD\"}", bytes)); // stray characters
}

} // namespace
