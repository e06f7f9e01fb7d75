#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

constexpr const char* PIPE_DIR = "/tmp/kx-services";
constexpr const char* PIPE_IN = "/tmp/kx-services/input-main-to-services";
constexpr const char* PIPE_OUT = "/tmp/kx-services/input-services-to-main";

// Longest command line accepted, without its newline; longer lines are discarded whole.
constexpr size_t MAX_COMMAND_LINE = 1024 * 1024;
// Deepest nesting of arrays and objects accepted in a command; far above anything Velloran sends,
// and low enough that no copy, comparison or serialisation of a command can exhaust the stack.
constexpr int MAX_COMMAND_DEPTH = 512;
// Held for the life of the process by the instance that serves the pipes.
constexpr const char* PIPE_LOCK = "/tmp/kx-services/kx-services.lock";

extern FILE* pipeIn;  // command reader thread only
extern FILE* pipeOut; // opened by main before any thread starts; shared by every writer

bool ensurePipeDir();
// Takes the exclusive lock that makes this instance the only one serving the pipes. False when
// another live instance holds it (its pid is then in `holder`, or 0 when unknown). When the lock
// file cannot be made at all, the pipes themselves will fail next, so that is no refusal.
bool lockPipeDir(long& holder);
bool createPipeIfNeeded(const char* path);
void handleFocusChanges();
void monitorAudioChanges();
void handlePipeCommands();

enum class LineStatus { Line, TooLong, End };
// Reads one line with its newline, as received. A last line without a newline is still a line; a
// line whose text (without the newline) is longer than maxLength is consumed up to its newline and
// reported as TooLong.
LineStatus readCommandLine(FILE* in, std::string& line, size_t maxLength = MAX_COMMAND_LINE);

// Parses one command line, as received, and runs it; every failure ends in one line on standard
// error.
void handleCommandLine(const std::string& line);
