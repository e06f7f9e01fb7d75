#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

constexpr const char* PIPE_DIR = "/tmp/kx-services";
constexpr const char* PIPE_IN = "/tmp/kx-services/input-main-to-services";
constexpr const char* PIPE_OUT = "/tmp/kx-services/input-services-to-main";

// Longest command line accepted, without its newline; longer lines are discarded whole.
constexpr size_t MAX_COMMAND_LINE = 1024 * 1024;

extern FILE* pipeIn;  // command reader thread only
extern FILE* pipeOut; // opened by main before any thread starts; shared by every writer

bool ensurePipeDir();
bool createPipeIfNeeded(const char* path);
void handleFocusChanges();
void monitorAudioChanges();
void handlePipeCommands();

enum class LineStatus { Line, TooLong, End };
// Reads one line without its newline. A last line without a newline is still a line; a line
// longer than maxLength is consumed up to its newline and reported as TooLong.
LineStatus readCommandLine(FILE* in, std::string& line, size_t maxLength = MAX_COMMAND_LINE);

// Parses one command line and runs it; every failure ends in one line on standard error.
void handleCommandLine(const std::string& line);
