// kxctl: talk to a running kx-services from the command line.

#include "kx_client.h"
#include "platform_common.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <poll.h>
#include <sstream>
#include <string>
#include <vector>

namespace {

const int EXIT_USAGE = 2;

const char USAGE[] =
    "Usage: kxctl [OPTIONS] COMMAND [ARGS] [OPTIONS]\n"
    "\n"
    "Commands:\n"
    "  version                  ask kx-services to print its version banner (on its own output)\n"
    "  key down|up CODE [SPACE] press or release key CODE in code space SPACE (default 1)\n"
    "  list [--json]            list the open applications (--json: the raw list)\n"
    "  shot X Y W H -o FILE     capture a screen region into the PNG file FILE\n"
    "  watch [--for MS]         print each change of the focused application until interrupted\n"
    "                           (or for MS milliseconds, so that a batch can go on)\n"
    "  batch                    run the commands on standard input, one per line, over one connection\n"
    "  send [--wait MS] JSON    write one raw line; print the lines that come back until none\n"
    "                           has come for MS (default 500); --wait 0 sends without waiting\n"
    "  help                     this text\n"
    "\n"
    "Options (before or after the command):\n"
    "  --dir DIR      pipe directory (default /tmp/kx-services)\n"
    "  --timeout MS   how long to wait for kx-services and for each reply (default 2000)\n"
    "  --help, -h     this text\n"
    "  --version      kxctl's version\n"
    "\n"
    "Exit status: 0 done; 1 kx-services is not running, closed the pipe, sent no reply or could not\n"
    "do what was asked (in a batch: any line failed); 2 the command line is wrong.\n"
    "\n"
    "kx-services serves one host for its whole life: after kxctl has disconnected, it has to be\n"
    "started again before the next command.\n";

struct Options {
    std::string dir = kx::DEFAULT_PIPE_DIR;
    int timeoutMs = 2000;
};

// One connection for the whole run: the service serves a single host for its life, so the commands
// of a batch must share it.
struct Session {
    Options options;
    kx::Connection conn;
    bool connected = false;
    bool unreachable = false; // connecting failed: no later command can run either
};

// Inside a batch a wrong line fails alone; the usage text would bury the other lines' output.
bool g_inBatch = false;

int usageError(const std::string& message) {
    std::cerr << "kxctl: " << message << "\n";
    if (!g_inBatch) std::cerr << "\n" << USAGE;
    return EXIT_USAGE;
}

int failure(const std::string& message) {
    std::cerr << "kxctl: " << message << "\n";
    return EXIT_FAILURE;
}

bool parseInt(const std::string& text, int& value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const long parsed = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed < INT32_MIN || parsed > INT32_MAX) return false;
    value = int(parsed);
    return true;
}

// Connects on first use; says why on standard error when it fails.
bool connect(Session& session) {
    if (session.connected) return true;
    std::string error;
    session.connected =
        kx::connectToService(session.conn, session.options.dir, session.options.timeoutMs, error);
    if (!session.connected) {
        session.unreachable = true;
        failure(error);
    }
    return session.connected;
}

// A write fails when the service has gone, or stopped reading for the whole timeout.
std::string writeFailed(const kx::Connection& conn) {
    return conn.closed
               ? "kx-services closed the pipe"
               : std::string("cannot write to kx-services: ") +
                     (errno == EPIPE ? "it is no longer running" : "it does not read (see --timeout)");
}

std::string noReply(const kx::Connection& conn, const Options& options) {
    return conn.closed ? "kx-services closed the pipe before replying"
                       : "no reply from kx-services within " + std::to_string(options.timeoutMs) +
                             " ms (see --timeout)";
}

// A member of a list entry as the terminal may show it: titles and paths come from any program.
std::string shown(const nlohmann::json& entry, const char* member) {
    return printable(kx::textMember(entry, member));
}

// Width on a terminal, near enough: UTF-8 continuation bytes take no column.
size_t columns(const std::string& text) {
    size_t n = 0;
    for (const char c : text)
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
    return n;
}

void printPadded(const std::string& text, size_t width) {
    std::cout << text << std::string(width - columns(text) + 2, ' ');
}

int runVersion(Session& session, const std::vector<std::string>& args) {
    if (!args.empty()) return usageError("version takes no arguments");
    if (!connect(session)) return EXIT_FAILURE;
    kx::Connection& conn = session.conn;
    if (!kx::sendGetVersion(conn)) return failure(writeFailed(conn));
    std::cout << "Version requested: kx-services prints its banner on its own standard output.\n";
    return EXIT_SUCCESS;
}

int runKey(Session& session, const std::vector<std::string>& args) {
    int code = 0;
    int space = 1;
    if (args.size() < 2 || args.size() > 3 || (args[0] != "down" && args[0] != "up"))
        return usageError("key needs down|up CODE [SPACE]");
    if (!parseInt(args[1], code)) return usageError("key code is not an integer: " + args[1]);
    if (args.size() == 3 && !parseInt(args[2], space))
        return usageError("code space is not an integer: " + args[2]);
    if (!connect(session)) return EXIT_FAILURE;
    kx::Connection& conn = session.conn;
    if (!kx::sendKey(conn, args[0] == "down", code, space)) return failure(writeFailed(conn));
    return EXIT_SUCCESS;
}

int runList(Session& session, const std::vector<std::string>& args) {
    const Options& options = session.options;
    const bool json = args.size() == 1 && args[0] == "--json";
    if (!args.empty() && !json) return usageError("list takes only --json");
    if (!connect(session)) return EXIT_FAILURE;
    kx::Connection& conn = session.conn;
    nlohmann::json entries;
    if (!kx::requestApplicationList(conn, entries, options.timeoutMs)) return failure(noReply(conn, options));
    if (json) {
        std::cout << entries.dump(2) << "\n";
        return EXIT_SUCCESS;
    }
    if (entries.empty()) {
        std::cout << "No open applications reported.\n";
        return EXIT_SUCCESS;
    }
    size_t titleWidth = columns("TITLE");
    size_t platformWidth = columns("PLATFORM");
    for (const auto& entry : entries) {
        titleWidth = std::max(titleWidth, columns(shown(entry, "title")));
        platformWidth = std::max(platformWidth, columns(shown(entry, "platform")));
    }
    printPadded("TITLE", titleWidth);
    printPadded("PLATFORM", platformWidth);
    std::cout << "PROCESSPATH\n";
    for (const auto& entry : entries) {
        printPadded(shown(entry, "title"), titleWidth);
        printPadded(shown(entry, "platform"), platformWidth);
        std::cout << shown(entry, "processpath") << "\n";
    }
    return EXIT_SUCCESS;
}

int runShot(Session& session, const std::vector<std::string>& args) {
    const Options& options = session.options;
    std::vector<int> rect;
    std::string file;
    for (size_t i = 0; i < args.size(); ++i) {
        int value = 0;
        if (args[i] == "-o" && i + 1 < args.size())
            file = args[++i];
        else if (parseInt(args[i], value))
            rect.push_back(value);
        else
            return usageError("unexpected argument to shot: " + args[i]);
    }
    if (rect.size() != 4 || file.empty()) return usageError("shot needs X Y W H -o FILE");

    if (!connect(session)) return EXIT_FAILURE;
    kx::Connection& conn = session.conn;
    std::string base64;
    if (!kx::requestRegionScreenshot(conn, rect[0], rect[1], rect[2], rect[3], base64, options.timeoutMs))
        return failure(noReply(conn, options));
    if (base64.empty())
        return failure("kx-services could not capture the region (empty image): it may lie off the screen, "
                       "or this session offers no screen capture");
    std::string png;
    if (!kx::decodeBase64(base64, png)) return failure("the reply is not valid Base64");
    if (png.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0) return failure("the reply is not a PNG image");

    FILE* out = std::fopen(file.c_str(), "wb");
    if (!out) return failure("cannot create " + file + ": " + std::strerror(errno));
    const bool written = std::fwrite(png.data(), 1, png.size(), out) == png.size();
    if (std::fclose(out) != 0 || !written)
        return failure("cannot write " + file + ": " + std::strerror(errno));
    std::cout << "Wrote " << png.size() << " bytes to " << file << "\n";
    return EXIT_SUCCESS;
}

int runWatch(Session& session, const std::vector<std::string>& args) {
    int forMs = -1;
    if (!args.empty() && (args.size() != 2 || args[0] != "--for" || !parseInt(args[1], forMs) || forMs < 0))
        return usageError("watch takes only --for MS");
    if (!connect(session)) return EXIT_FAILURE;
    kx::Connection& conn = session.conn;
    if (forMs < 0) std::cerr << "Watching focus changes; Ctrl-C to stop.\n";
    const auto deadline = kx::deadlineAfter(forMs);
    for (;;) {
        const int left = kx::msLeft(deadline);
        if (left == 0) return EXIT_SUCCESS;
        nlohmann::json report;
        if (!kx::awaitMessage(conn, "applicationChanged", report, left)) break;
        const auto data = report.find("data");
        if (data == report.end() || !data->is_object()) continue;
        const auto pid = data->find("pid");
        std::cout << "pid=" << (pid != data->end() ? pid->dump() : "?")
                  << " proc=" << nlohmann::json(kx::textMember(*data, "proc")).dump()
                  << " title=" << nlohmann::json(kx::textMember(*data, "title")).dump() << std::endl;
    }
    if (!conn.closed) return EXIT_SUCCESS; // the time given is over
    return failure("kx-services closed the pipe");
}

int runSend(Session& session, const std::vector<std::string>& args) {
    int waitMs = 500;
    std::string line;
    bool haveLine = false;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--wait" && i + 1 < args.size()) {
            if (!parseInt(args[++i], waitMs) || waitMs < 0) return usageError("--wait needs milliseconds");
        } else if (!haveLine) {
            line = args[i];
            haveLine = true;
        } else {
            return usageError("send takes one line");
        }
    }
    if (!haveLine) return usageError("send needs a JSON line");
    if (!nlohmann::json::accept(line)) std::cerr << "kxctl: note: the line is not valid JSON\n";

    if (!connect(session)) return EXIT_FAILURE;
    kx::Connection& conn = session.conn;
    if (!kx::sendLine(conn, line)) return failure(writeFailed(conn));
    if (waitMs == 0) return EXIT_SUCCESS;
    std::string reply;
    size_t replies = 0;
    kx::ReadStatus status;
    while ((status = kx::readLine(conn, reply, waitMs)) == kx::ReadStatus::Line) {
        std::cout << reply << std::endl;
        ++replies;
    }
    if (status == kx::ReadStatus::Closed)
        return failure(replies == 0 ? "kx-services closed the pipe before replying"
                                    : "kx-services closed the pipe");
    if (replies == 0) return failure("no reply within " + std::to_string(waitMs) + " ms (see --wait)");
    return EXIT_SUCCESS;
}

int runCommand(Session& session, const std::string& command, const std::vector<std::string>& args) {
    if (command == "version") return runVersion(session, args);
    if (command == "key") return runKey(session, args);
    if (command == "list") return runList(session, args);
    if (command == "shot") return runShot(session, args);
    if (command == "watch") return runWatch(session, args);
    if (command == "send") return runSend(session, args);
    if (command == "help") {
        std::cout << USAGE;
        return EXIT_SUCCESS;
    }
    return usageError("unknown command: " + command);
}

// The service closed its end of the replies, or no longer reads commands (the write end then
// reports an error without blocking).
bool serviceGone(const Session& session) {
    if (!session.connected) return false;
    if (session.conn.closed) return true;
    pollfd pfd{session.conn.toService, 0, 0};
    return poll(&pfd, 1, 0) > 0 && (pfd.revents & (POLLERR | POLLHUP)) != 0;
}

// One command per line from standard input, all over one connection. Words are split on blanks,
// except that everything after "send" (and its --wait MS) is the line to send. A failed line does not
// stop the batch, but once the service is gone the rest cannot run and is counted as skipped.
// Returns the first failure's status.
int runBatch(Session& session) {
    g_inBatch = true;
    int status = EXIT_SUCCESS;
    size_t skipped = 0;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream words(line);
        std::string command;
        if (!(words >> command) || command[0] == '#') continue;
        if (serviceGone(session)) {
            ++skipped;
            continue;
        }
        std::vector<std::string> args;
        if (command == "send") {
            std::string raw;
            words >> std::ws;
            if (words.peek() == '-') {
                std::string flag, value;
                words >> flag >> value >> std::ws;
                args = {flag, value};
            }
            std::getline(words, raw);
            args.push_back(raw);
        } else {
            for (std::string word; words >> word;)
                args.push_back(word);
        }
        std::cout << "> " << line << std::endl;
        const int result =
            command == "batch" ? usageError("batch cannot be nested") : runCommand(session, command, args);
        // Whoever reads the output as it comes sees each command's answer before the next runs.
        std::cout.flush();
        if (result != EXIT_SUCCESS && status == EXIT_SUCCESS) status = result;
        if (session.unreachable) break;
    }
    if (skipped > 0) {
        std::cerr << "kxctl: kx-services closed the pipe; " << skipped << " later command"
                  << (skipped == 1 ? " was" : "s were") << " not run\n";
        if (status == EXIT_SUCCESS) status = EXIT_FAILURE;
    }
    return status;
}

} // namespace

int main(int argc, char** argv) {
    // A write after the service has gone must fail with EPIPE, not end kxctl silently.
    std::signal(SIGPIPE, SIG_IGN);

    // The options of kxctl itself may stand anywhere; what is left is the command and its arguments.
    Options options;
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << USAGE;
            return EXIT_SUCCESS;
        }
        if (arg == "--version") {
            std::cout << "kxctl " << KX_VERSION << "\n";
            return EXIT_SUCCESS;
        }
        if (arg == "--dir" || arg == "--timeout") {
            if (i + 1 == argc) return usageError(arg + " needs a value");
            const std::string value = argv[++i];
            if (arg == "--dir")
                options.dir = value;
            else if (!parseInt(value, options.timeoutMs) || options.timeoutMs < 0)
                return usageError("--timeout needs milliseconds, not: " + value);
            continue;
        }
        words.push_back(arg);
    }
    if (words.empty()) return usageError("no command given");
    const std::string command = words[0];
    const std::vector<std::string> rest(words.begin() + 1, words.end());

    Session session;
    session.options = options;
    if (command == "batch") return rest.empty() ? runBatch(session) : usageError("batch takes no arguments");
    return runCommand(session, command, rest);
}
