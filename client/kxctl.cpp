// kxctl: talk to a running kx-services from the command line.

#include "kx_client.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

const int EXIT_USAGE = 2;

const char USAGE[] =
    "Usage: kxctl [--dir DIR] [--timeout MS] COMMAND [ARGS]\n"
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
    "                           has come for MS (default 500)\n"
    "\n"
    "Options:\n"
    "  --dir DIR      pipe directory (default /tmp/kx-services)\n"
    "  --timeout MS   how long to wait for kx-services and for each reply (default 2000)\n"
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
};

int usageError(const std::string& message) {
    std::cerr << "kxctl: " << message << "\n\n" << USAGE;
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
    if (!session.connected) failure(error);
    return session.connected;
}

std::string noReply(const kx::Connection& conn, const Options& options) {
    return conn.closed ? "kx-services closed the pipe before replying"
                       : "no reply from kx-services within " + std::to_string(options.timeoutMs) +
                             " ms (see --timeout)";
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
    if (!kx::sendGetVersion(conn)) return failure("cannot write to kx-services");
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
    if (!kx::sendKey(conn, args[0] == "down", code, space)) return failure("cannot write to kx-services");
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
        titleWidth = std::max(titleWidth, columns(kx::textMember(entry, "title")));
        platformWidth = std::max(platformWidth, columns(kx::textMember(entry, "platform")));
    }
    printPadded("TITLE", titleWidth);
    printPadded("PLATFORM", platformWidth);
    std::cout << "PROCESSPATH\n";
    for (const auto& entry : entries) {
        printPadded(kx::textMember(entry, "title"), titleWidth);
        printPadded(kx::textMember(entry, "platform"), platformWidth);
        std::cout << kx::textMember(entry, "processpath") << "\n";
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
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(forMs);
    for (;;) {
        const long left = forMs < 0 ? -1
                                    : long(std::chrono::duration_cast<std::chrono::milliseconds>(
                                               deadline - std::chrono::steady_clock::now())
                                               .count());
        if (forMs >= 0 && left <= 0) return EXIT_SUCCESS;
        nlohmann::json report;
        if (!kx::awaitMessage(conn, "applicationChanged", report, int(left))) break;
        const auto data = report.find("data");
        if (data == report.end() || !data->is_object()) continue;
        const auto pid = data->find("pid");
        std::cout << "pid=" << (pid != data->end() ? pid->dump() : "?")
                  << " proc=" << nlohmann::json(kx::textMember(*data, "proc")).dump()
                  << " title=" << nlohmann::json(kx::textMember(*data, "title")).dump() << std::endl;
    }
    if (!conn.closed) return EXIT_SUCCESS; // the time given is over
    std::cerr << "kx-services closed the pipe.\n";
    return EXIT_SUCCESS;
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
    if (!kx::sendLine(conn, line)) return failure("cannot write to kx-services");
    std::string reply;
    size_t replies = 0;
    while (kx::readLine(conn, reply, waitMs) == kx::ReadStatus::Line) {
        std::cout << reply << std::endl;
        ++replies;
    }
    if (conn.closed) std::cerr << "kxctl: kx-services closed the pipe\n";
    if (replies == 0) std::cerr << "kxctl: no reply within " << waitMs << " ms\n";
    return EXIT_SUCCESS;
}

int runCommand(Session& session, const std::string& command, const std::vector<std::string>& args) {
    if (command == "version") return runVersion(session, args);
    if (command == "key") return runKey(session, args);
    if (command == "list") return runList(session, args);
    if (command == "shot") return runShot(session, args);
    if (command == "watch") return runWatch(session, args);
    if (command == "send") return runSend(session, args);
    return usageError("unknown command: " + command);
}

// One command per line from standard input, all over one connection. Words are split on blanks,
// except that everything after "send" is the line to send. Returns the first failure's status.
int runBatch(Session& session) {
    int status = EXIT_SUCCESS;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream words(line);
        std::string command;
        if (!(words >> command) || command[0] == '#') continue;
        std::vector<std::string> args;
        if (command == "send") {
            std::string raw;
            std::getline(words >> std::ws, raw);
            args.push_back(raw);
        } else {
            for (std::string word; words >> word;)
                args.push_back(word);
        }
        std::cout << "> " << line << std::endl;
        const int result =
            command == "batch" ? usageError("batch cannot be nested") : runCommand(session, command, args);
        if (result != EXIT_SUCCESS && status == EXIT_SUCCESS) status = result;
        if (!session.connected || session.conn.closed) break;
    }
    return status;
}

} // namespace

int main(int argc, char** argv) {
    // A write after the service has gone must fail with EPIPE, not end kxctl silently.
    std::signal(SIGPIPE, SIG_IGN);

    Options options;
    std::vector<std::string> args(argv + 1, argv + argc);
    size_t i = 0;
    for (; i < args.size(); ++i) {
        if (args[i] == "--help" || args[i] == "-h") {
            std::cout << USAGE;
            return EXIT_SUCCESS;
        }
        if (args[i] == "--dir" && i + 1 < args.size()) {
            options.dir = args[++i];
        } else if (args[i] == "--timeout" && i + 1 < args.size()) {
            if (!parseInt(args[++i], options.timeoutMs) || options.timeoutMs < 0)
                return usageError("--timeout needs milliseconds");
        } else {
            break;
        }
    }
    if (i == args.size()) return usageError("no command given");
    const std::string command = args[i];
    const std::vector<std::string> rest(args.begin() + long(i) + 1, args.end());

    Session session;
    session.options = options;
    if (command == "batch") return rest.empty() ? runBatch(session) : usageError("batch takes no arguments");
    return runCommand(session, command, rest);
}
