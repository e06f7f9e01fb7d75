#include "service_harness.h"

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace it;
using Lines = std::vector<std::string>;

namespace {

constexpr size_t MAX_LINE = 1 << 20;

const std::string IN = "Incoming message from Velloran...";
const std::string BAD = "Linux Services - Invalid JSON: ";
const std::string TOO_LONG = BAD + "line longer than 1048576 bytes, discarded";
const std::string KD = "KeyDown request received.";
const std::string KU = "KeyUp request received.";

const std::string LIST = R"({"type":"listCurrentProcesses"})";
const std::string LIST_REPLY = R"({"data":[],"type":"listOfActiveProcesses"})";
const Lines LIST_LOG = {
    "Received request for list of running applications. Creating list...",
    "Received request for list of running applications. List created... found 0 entries",
    "Received request for list of running applications. List created... sending to Velloran"};

std::string shot(const std::string& uuid) {
    return R"({"type":"getRegionScreenshot","uuid":")" + uuid + R"(","data":{"x":1,"y":2,"w":3,"h":4}})";
}
std::string shotReply(const std::string& uuid) {
    return R"({"data":{"base64":""},"type":"getRegionScreenshot","uuid":")" + uuid + "\"}";
}
Lines shotLog(const std::string& rect) {
    return {"Received region screenshot req... " + rect, "Received region screenshot req... base64 String: ",
            "Received region screenshot req... sending to Velloran"};
}

Lines operator+(Lines a, const Lines& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Lines BANNER = {"Linux Services Version: 1.1 d04042026",
                      "--------------------",
                      "Available Service: Key Press (X11 and Wayland)",
                      "Available Service: Key Down (X11 and Wayland)",
                      "Available Service: Key Up (X11 and Wayland)",
                      "Available Service: Volume Change (X11 and Wayland)",
                      "Available Service: Focus Applications (X11 and Wayland)",
                      "Available Service: List Current Processes (X11 and Wayland)",
                      "Available Service: Region Screenshot (X11 and Wayland)",
                      "--------------------"};

struct Row {
    std::string line;       // sent with a newline
    std::string err;        // the one stderr line, if any
    Lines out = {};         // stdout after the reader's "Incoming message" line
    std::string reply = {}; // the next line on the outgoing pipe, if any
};

std::string thrown(const std::string& what) {
    return BAD + "[json.exception." + what;
}
// Positions are those of the line as received, its newline included.
std::string parseError(const std::string& what, int line = 1) {
    return thrown("parse_error.101] parse error at line " + std::to_string(line) + ", column " + what);
}
const std::string EXPECTED_VALUE =
    "syntax error while parsing value - unexpected end of input; expected '[', '{', or a literal";

const Row UNCLOSED = {
    R"({"a":1)", parseError("1: syntax error while parsing object - unexpected end of input; expected '}'", 2)};
const std::string NOT_A_NUMBER = "type_error.302] type must be number, but is ";
const std::string NOT_A_STRING = "type_error.302] type must be string, but is ";

// clang-format off
const Row ROWS[] = {
    // Keys reach the backend as (code, press); the code space is the backend's business.
    {R"({"type":"keyDown","uuid":"k","data":{"keyValue":65,"keyType":1}})", "[dummy] key 65 down", {KD}},
    {R"({"type":"keyUp","data":{"keyType":3,"keyValue":65,"x":[]},"more":{}})", "[dummy] key 65 up", {KU}},
    {R"({"type":"keyDown","data":{"keyValue":65.9,"keyType":2}})", "[dummy] key 65 down", {KD}},
    {R"({"type":"keyUp","data":{"keyValue":true,"keyType":false}})", "[dummy] key 1 up", {KU}},
    // Bad key commands: no key is sent.
    {R"({"type":"keyDown","data":{"keyValue":"65","keyType":1}})", thrown(NOT_A_NUMBER + "string"), {KD}},
    {R"({"type":"keyDown","data":{"keyValue":null,"keyType":1}})", thrown(NOT_A_NUMBER + "null"), {KD}},
    {R"({"type":"keyDown"})", thrown("type_error.304] cannot use at() with null"), {KD}},
    {R"({"type":"keyDown","data":[65,1]})", thrown("type_error.304] cannot use at() with array"), {KD}},
    {R"({"type":"keyUp","data":{"keyValue":1}})", thrown("out_of_range.403] key 'keyType' not found"), {KU}},
    {R"({"type":"keyDown","data":{"keyValue":1e400,"keyType":1}})",
     thrown("out_of_range.406] number overflow parsing '1e400'")},
    // Rejected before dispatch, even where the member is not used.
    {R"({"type":"keyDown","uuid":7,"data":{"keyValue":65,"keyType":1}})", thrown(NOT_A_STRING + "number")},
    {R"({"type":"keyPress","uuid":null})", thrown(NOT_A_STRING + "null")},
    {R"({"type":null})", thrown(NOT_A_STRING + "null")},
    {"[1]", thrown("type_error.306] cannot use value() with array")},
    {R"("getVersion")", thrown("type_error.306] cannot use value() with string")},
    // Accepted and ignored.
    {R"({"type":"keyPress","data":{"keyValue":65,"keyType":1}})", ""},
    {R"({"type":"volumeChange","data":{"up":true}})", ""},
    {R"({"type":"focusRequest"})", ""},
    // Names are exact.
    {R"({"type":"KeyDown","data":{"keyValue":65,"keyType":1}})", "Unknown type: KeyDown"},
    {R"({"uuid":"x","data":{}})", "Unknown type: "},
    {R"({"type":""})", "Unknown type: "},
    {R"({"type":"getVersion","data":{}})", "", BANNER},
    // What Velloran sends is quoted in a log line with its control characters escaped: one message,
    // one line, and nothing hidden behind a NUL.
    {R"({"type":"a\nFAKE LOG LINE"})", R"(Unknown type: a\nFAKE LOG LINE)"},
    {R"({"type":"getVersion\u0000x\u001b[2J"})", R"(Unknown type: getVersion\x00x\x1b[2J)"},
    // Not one JSON document.
    {"", parseError("1: " + EXPECTED_VALUE, 2)},
    {"{}{}", parseError("3: syntax error while parsing value - unexpected '{'; expected end of input")},
    UNCLOSED,
    {R"({"type":"keyPress"} // c)", parseError("21: syntax error while parsing value - invalid literal; "
                                               "last read: '\"keyPress\"} /'; expected end of input")},
    {"{\"type\":\"\xff\"}", parseError("10: syntax error while parsing value - invalid string: "
                                       "ill-formed UTF-8 byte; last read: '\"\xff'")},
    // A NUL byte ends the document; a carriage return is white space.
    {std::string("{\"type\":\0\"keyPress\"}", 20), parseError("9: " + EXPECTED_VALUE)},
    {LIST + std::string("\0{junk", 6), "", LIST_LOG, LIST_REPLY},
    {LIST + "\r", "", LIST_LOG, LIST_REPLY},
    // The queries; the list ignores its uuid and data.
    {R"({"type":"listCurrentProcesses","uuid":"z","data":[1]})", "", LIST_LOG, LIST_REPLY},
    {shot("u1"), "", shotLog("1, 2, 3, 4"), shotReply("u1")},
    {R"({"type":"getRegionScreenshot","data":{"x":-1,"y":2147483648,"w":0.5,"h":true}})", "",
     shotLog("-1, -2147483648, 0, 1"), shotReply("")},
    // Escapes come back as UTF-8, control characters escaped.
    {R"({"type":"getRegionScreenshot","uuid":"\u00e9/\n\"\t\u0001 ✓\ud83d\ude00","data":{"x":0,"y":0,"w":0,"h":0}})",
     "", shotLog("0, 0, 0, 0"), shotReply(R"(é/\n\"\t\u0001 ✓😀)")},
    {R"({"type":"getRegionScreenshot","uuid":"u","data":{"x":1,"y":2,"w":3}})",
     thrown("out_of_range.403] key 'h' not found")},
    {R"({"type":"getRegionScreenshot","uuid":"u"})", thrown("type_error.304] cannot use at() with null")},
};
// clang-format on

} // namespace

TEST_F(ServiceTest, AnswersEachCommandAndRejectsEachBadLineAlone) {
    startConnected();
    for (const Row& row : ROWS) {
        const Logged logged = exchange(row.line);
        EXPECT_EQ(logged.out, Lines{IN} + row.out) << row.line;
        EXPECT_EQ(logged.err, row.err.empty() ? Lines{} : Lines{row.err}) << row.line;
        if (!row.reply.empty()) {
            EXPECT_EQ(nextReply(), row.reply) << row.line;
        }
    }
    // Nothing else reached the pipe in between.
    ASSERT_TRUE(kx::sendLine(conn, shot("end")));
    EXPECT_EQ(nextReply(), shotReply("end"));
    EXPECT_TRUE(service.running());
}

TEST_F(ServiceTest, EachLineIsOneMessageUpToTheLimit) {
    startConnected();
    const auto padded = [](std::string document, size_t size) {
        document.resize(size, ' ');
        return document;
    };
    for (size_t size : {size_t(4095), size_t(4096), MAX_LINE}) {
        const Logged logged = exchange(padded(LIST, size));
        EXPECT_EQ(logged.out, Lines{IN} + LIST_LOG) << size;
        EXPECT_EQ(logged.err, Lines{}) << size;
        EXPECT_EQ(nextReply(), LIST_REPLY) << size;
    }
    // A longer line is dropped whole, even a valid document; the next line, in the same write, is kept.
    for (size_t size : {MAX_LINE + 1, 3 * MAX_LINE}) {
        const Logged logged = exchange(padded(LIST, size) + "\n" + LIST);
        EXPECT_EQ(logged.out, (Lines{IN, IN} + LIST_LOG)) << size;
        EXPECT_EQ(logged.err, Lines{TOO_LONG}) << size;
        EXPECT_EQ(nextReply(), LIST_REPLY) << size;
    }
    // A reply larger than the pipe arrives whole: an identifier filling the request to the limit comes back.
    const std::string head = R"({"type":"getRegionScreenshot","data":{"x":0,"y":0,"w":0,"h":0},"uuid":")";
    const std::string uuid(MAX_LINE - head.size() - 2, 'u');
    ASSERT_TRUE(kx::sendLine(conn, head + uuid + "\"}"));
    EXPECT_EQ(nextReply(), shotReply(uuid));
    const Logged logged = exchange(R"({"type":"keyPress"})");
    EXPECT_EQ(logged.out, Lines{IN} + shotLog("0, 0, 0, 0") + Lines{IN});
    EXPECT_EQ(logged.err, Lines{});
}

TEST_F(ServiceTest, LosesNothingInABurstOfGoodAndBadLines) {
    startConnected();
    // Each bad line is followed by a request, all in one write that takes the reader many reads.
    const Row bad[] = {
        UNCLOSED,
        {R"({"type":"nope"})", "Unknown type: nope"},
        {R"({"type":"keyDown","data":{}})", thrown("out_of_range.403] key 'keyType' not found"), {KD}},
        {std::string(MAX_LINE + 7, '{'), TOO_LONG},
    };
    std::string burst;
    Lines out, err;
    for (int i = 0; i < 300; ++i) {
        const Row& b = bad[i % 100 == 50 ? 3 : i % 3];
        burst += b.line + "\n" + shot(std::to_string(i)) + "\n";
        out = out + Lines{IN} + b.out + Lines{IN} + shotLog("1, 2, 3, 4");
        err.push_back(b.err);
    }
    burst.pop_back(); // exchange() adds the last newline
    const Logged logged = exchange(burst);
    EXPECT_EQ(logged.out, out);
    EXPECT_EQ(logged.err, err);
    for (int i = 0; i < 300; ++i)
        ASSERT_EQ(nextReply(), shotReply(std::to_string(i)));
}

TEST_F(ServiceTest, EndOfInputStopsOnlyTheReader) {
    startConnected();
    ASSERT_TRUE(kx::sendLine(conn, R"({"type":"keyPress"})"));
    // The last line needs no newline.
    const std::string last = shot("last");
    ASSERT_EQ(write(conn.toService, last.data(), last.size()), ssize_t(last.size()));
    close(conn.toService);
    conn.toService = -1;

    EXPECT_EQ(nextReply(), shotReply("last"));
    ASSERT_TRUE(service.waitOut("Closing Communication with Velloran..."));
    const Lines out = service.out();
    EXPECT_EQ(Lines(out.begin() + outSeen, out.end()),
              (Lines{IN, IN} + shotLog("1, 2, 3, 4") + Lines{"Closing Communication with Velloran..."}));
    EXPECT_EQ(service.err().size(), errSeen);

    // The pipe is not read again, even when the host comes back.
    EXPECT_TRUE(waitFor([] {
        const int fd = open(PIPE_IN.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) close(fd);
        return fd < 0 && errno == ENXIO;
    }));
    // The service lives on and keeps its outgoing pipe open.
    EXPECT_EQ(nextReply(SETTLE_MS), "<timeout>");
    EXPECT_TRUE(service.running());
    EXPECT_FALSE(contains(service.out(), "Stopped running, services are closed..."));
}

TEST_F(ServiceTest, HostThatStoppedReadingEndsTheServiceAtItsNextMessage) {
    startConnected();
    close(conn.fromService);
    conn.fromService = -1;
    // Commands that write nothing to the pipe go on working.
    const Logged logged = exchange(R"({"type":"keyDown","data":{"keyValue":5,"keyType":1}})");
    EXPECT_EQ(logged.err, Lines{"[dummy] key 5 down"});
    EXPECT_TRUE(service.running());

    ASSERT_TRUE(kx::sendLine(conn, LIST));
    const int status = service.waitExit();
    ASSERT_NE(status, -1) << "still running";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE) << "wait status " << status;
    EXPECT_EQ(service.out().back(), LIST_LOG.back());
}
