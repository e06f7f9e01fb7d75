#include "kx-services.h"

#include "platform_common.h"
#include "platform_interface.h"

#include <cerrno>
#include <chrono>
#include <thread>

#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

using nlohmann::json;

FILE* pipeIn = nullptr;
FILE* pipeOut = nullptr;

bool ensurePipeDir() {
    if (mkdir(PIPE_DIR, 0700) == 0) return true;
    if (errno != EEXIST) {
        perror("mkdir PIPE_DIR failed");
        return false;
    }
    // /tmp belongs to everyone: a directory planted there by another user would let that user
    // read every reply and inject keystrokes, so an existing one must be ours and private.
    struct stat st {};
    if (lstat(PIPE_DIR, &st) != 0) {
        perror("lstat PIPE_DIR failed");
        return false;
    }
    const std::string dir = PIPE_DIR;
    if (S_ISLNK(st.st_mode)) {
        logErr(dir + ": is a symbolic link, not a directory");
        return false;
    }
    // Anything else that is not a directory is left for the FIFO creation to refuse.
    if (!S_ISDIR(st.st_mode)) return true;
    if (st.st_uid != geteuid()) {
        logErr(dir + ": owned by uid " + std::to_string(st.st_uid) + ", not by this user (uid " +
               std::to_string(geteuid()) + ")");
        return false;
    }
    if (st.st_mode & 077) {
        char mode[8];
        snprintf(mode, sizeof mode, "%04o", unsigned(st.st_mode & 07777));
        logErr(dir + ": mode " + mode + " gives group or other users access (must be 0700)");
        return false;
    }
    return true;
}

bool lockPipeDir(long& holder) {
    holder = 0;
    // The directory is ours and private by now; O_NOFOLLOW all the same, a link is never followed.
    const int fd = open(PIPE_LOCK, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (errno != ENOTDIR) perror("open PIPE_LOCK failed");
        return true;
    }
    // A lock dies with its holder, so a crashed instance never blocks the next start. The
    // descriptor is deliberately never closed: the lock must last as long as the process.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        char text[32] = {};
        if (pread(fd, text, sizeof text - 1, 0) > 0) holder = std::strtol(text, nullptr, 10);
        close(fd);
        return false;
    }
    const std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(fd, 0) != 0 || pwrite(fd, pid.data(), pid.size(), 0) < 0) perror("write PIPE_LOCK failed");
    return true;
}

bool createPipeIfNeeded(const char* path) {
    struct stat st {};
    if (stat(path, &st) == 0) return S_ISFIFO(st.st_mode);
    remove(path); // clears a dangling symbolic link
    if (mkfifo(path, 0600) != 0) {
        perror("mkfifo failed");
        return false;
    }
    return true;
}

void handleFocusChanges() {
    monitorFocusChanges();
}

void monitorAudioChanges() {
    for (;;)
        std::this_thread::sleep_for(std::chrono::seconds(1));
}

LineStatus readCommandLine(FILE* in, std::string& line, size_t maxLength) {
    line.clear();
    bool any = false;
    bool tooLong = false;
    flockfile(in);
    for (int c; (c = getc_unlocked(in)) != EOF;) {
        any = true;
        if (c == '\n') {
            if (!tooLong) line.push_back('\n');
            break;
        }
        if (line.size() < maxLength)
            line.push_back(char(c));
        else
            tooLong = true;
    }
    funlockfile(in);
    if (!any) return LineStatus::End;
    if (tooLong) {
        line.clear();
        return LineStatus::TooLong;
    }
    return LineStatus::Line;
}

namespace {
// keyType is read before keyValue, so a message missing both reports keyType.
void handleKey(const json& data, bool press) {
    const int32_t keyType = readInt32Member(data, "keyType");
    const int32_t keyValue = readInt32Member(data, "keyValue");
    simulateKey(keyValue, keyType, press);
}

void handleType_keyDown(const json& data) {
    handleKey(data, true);
}
void handleType_keyUp(const json& data) {
    handleKey(data, false);
}

void handleType_volumeChange(const json&) {}
void handleType_focusRequest(const json&) {}

void printVersionBanner() {
    logOut("Linux Services Version: 1.1 d04042026\n"
           "--------------------\n"
           "Available Service: Key Press (X11 and Wayland)\n"
           "Available Service: Key Down (X11 and Wayland)\n"
           "Available Service: Key Up (X11 and Wayland)\n"
           "Available Service: Volume Change (X11 and Wayland)\n"
           "Available Service: Focus Applications (X11 and Wayland)\n"
           "Available Service: List Current Processes (X11 and Wayland)\n"
           "Available Service: Region Screenshot (X11 and Wayland)\n"
           "--------------------");
}
} // namespace

namespace {
// Checked while parsing, before any value exists that could be too deep to copy or destroy.
bool limitDepth(int depth, json::parse_event_t event, json&) {
    if ((event == json::parse_event_t::object_start || event == json::parse_event_t::array_start) &&
        depth >= MAX_COMMAND_DEPTH)
        throw std::runtime_error("nesting deeper than " + std::to_string(MAX_COMMAND_DEPTH) + " levels");
    return true;
}

const json NO_DATA;
} // namespace

void handleCommandLine(const std::string& line) {
    try {
        // c_str(): a NUL byte inside the line ends the document there.
        const json message = json::parse(line.c_str(), limitDepth, true, false);
        const std::string type = message.value("type", std::string());
        std::string uuid = message.value("uuid", std::string());
        const auto found = message.find("data");
        const json& data = found != message.end() ? *found : NO_DATA;

        if (type == "keyPress") {
        } else if (type == "keyDown") {
            logOut("KeyDown request received.");
            handleType_keyDown(data);
        } else if (type == "keyUp") {
            logOut("KeyUp request received.");
            handleType_keyUp(data);
        } else if (type == "volumeChange") {
            handleType_volumeChange(data);
        } else if (type == "focusRequest") {
            handleType_focusRequest(data);
        } else if (type == "getVersion") {
            printVersionBanner();
        } else if (type == "listCurrentProcesses") {
            sendApplicationList();
        } else if (type == "getRegionScreenshot") {
            sendRegionScreenshot(std::move(uuid), data);
        } else {
            logErr("Unknown type: " + printable(type));
        }
    } catch (const std::exception& e) {
        logErr(std::string("Linux Services - Invalid JSON: ") + printable(e.what()));
    }
}

void handlePipeCommands() {
    logOut("Starting Thread for Communication from Velloran...");
    pipeIn = fopen(PIPE_IN, "r");
    if (!pipeIn) {
        logErr("Cannot open piped file for incoming communication");
        // _exit, not exit: the other threads are still running and must not see globals destroyed.
        fflush(nullptr);
        _exit(31);
    }
    logOut("Waiting for Communication from Velloran...");
    std::string line;
    for (LineStatus status; (status = readCommandLine(pipeIn, line)) != LineStatus::End;) {
        logOut("Incoming message from Velloran...");
        if (status == LineStatus::TooLong) {
            logErr("Linux Services - Invalid JSON: line longer than " + std::to_string(MAX_COMMAND_LINE) +
                   " bytes, discarded");
            continue;
        }
        handleCommandLine(line);
    }
    logOut("Closing Communication with Velloran...");
    // Velloran is gone and cannot release what it pressed.
    releaseHeldKeys();
    fclose(pipeIn);
    pipeIn = nullptr;
}

#ifndef KX_SERVICES_NO_MAIN
#include "platform_wayland.h"
#include "platform_x11.h"

int main(int argc, char** argv) {
    // The desktop helpers the backends run are this binary too.
    const int helper = wayland_helperMain(argc, argv);
    if (helper >= 0) return helper;
    holdBackBrokenPipe();

    logOut("Initiating platform detection...");
    registerBackends(&X11_BACKEND, &WAYLAND_BACKEND);
    initPlatform();

    logOut("Creating piped files...");
    if (!ensurePipeDir()) {
        logErr("Failed to setup directory for piped files.");
        return 20;
    }
    logOut("Creating piped files... Ensured directory structure");
    // Two instances on one pair of pipes would split Velloran's commands and tear its lines.
    long holder = 0;
    if (!lockPipeDir(holder)) {
        logErr("Another instance of kx-services" +
               (holder > 0 ? " (pid " + std::to_string(holder) + ")" : std::string()) +
               " already serves the pipes in " + PIPE_DIR + ".");
        return 24;
    }
    if (!createPipeIfNeeded(PIPE_IN)) {
        logErr("Failed to create piped file for incoming communication.");
        return 21;
    }
    logOut("Creating piped files... Created PIPE IN");
    if (!createPipeIfNeeded(PIPE_OUT)) {
        logErr("Failed to create piped file for outgoing communication.");
        return 22;
    }
    // Blocks until Velloran opens its reading end.
    pipeOut = fopen(PIPE_OUT, "w");
    if (!pipeOut) {
        logErr("Cannot connect to piped file for outgoing communication");
        return 23;
    }
    logOut("Creating piped files... Created PIPE OUT");

    logOut("Launching thread: Listening to Application focus...           (Not Implemented)");
    std::thread focusThread(handleFocusChanges);
    logOut("Launching thread: Listening to Audio changes...               (Not implemented)");
    std::thread audioThread(monitorAudioChanges);
    logOut("Launching thread: Listening to commands from Velloran...");
    std::thread pipeThread(handlePipeCommands);
    logOut("Init complete, running...");

    focusThread.join();
    audioThread.join();
    pipeThread.join();
    logOut("Stopped running, services are closed...");
    return 0;
}
#endif
