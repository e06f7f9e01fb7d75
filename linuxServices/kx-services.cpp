#include "kx-services.h"

#include "platform_common.h"
#include "platform_interface.h"

#include <cerrno>
#include <chrono>
#include <thread>

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
        if (c == '\n') break;
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

void handleCommandLine(const std::string& line) {
    try {
        // c_str(): a NUL byte inside the line ends the document there.
        const json message = json::parse(line.c_str(), nullptr, true, false);
        const std::string type = message.value("type", std::string());
        std::string uuid = message.value("uuid", std::string());
        const json data = message.contains("data") ? message.at("data") : json();

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
            fprintf(stderr, "Unknown type: %s\n", type.c_str());
        }
    } catch (const std::exception& e) {
        fprintf(stderr, "Linux Services - Invalid JSON: %s\n", e.what());
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
            fprintf(stderr, "Linux Services - Invalid JSON: line longer than %zu bytes, discarded\n",
                    MAX_COMMAND_LINE);
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

int main() {
    logOut("Initiating platform detection...");
    registerBackends(&X11_BACKEND, &WAYLAND_BACKEND);
    initPlatform();

    logOut("Creating piped files...");
    if (!ensurePipeDir()) {
        logErr("Failed to setup directory for piped files.");
        return 20;
    }
    logOut("Creating piped files... Ensured directory structure");
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
