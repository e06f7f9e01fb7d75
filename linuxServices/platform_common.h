#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

// Standard Base64 (RFC 4648 section 4): "=" padding, no line breaks.
std::string base64Encode(const unsigned char* data, size_t len);

// The text after the last "/", or the whole text when it has none.
std::string basenameOf(const std::string& s);

// Text from Velloran or the desktop (types, titles, paths) as it may appear inside a log line or on a
// terminal: control characters (C0, DEL, U+0080 to U+009F) are written as escapes (\n, \t, \x00...),
// so one message is always one log line and a window title cannot drive the terminal.
std::string printable(const std::string& text);

// What /proc shows of process `pid`: the target of its "exe" link, and the first line of its "comm"
// (the kernel's short name). "" when the process is gone, is a kernel thread or is not ours to read.
std::string procExe(long pid);
std::string procComm(long pid);

// Writes the line and a newline, then flushes, holding the stream's lock throughout: lines written by
// different threads stay apart. A write that finds the reader gone (EPIPE) ends the process by SIGPIPE,
// as the signal would if it were not held back; other failures are not examined.
void writeWholeLine(FILE* stream, std::string line);
// The same for a line given in parts, which are not copied together first: a capture's line is
// megabytes, and on some machines every fresh page of a copy costs more than the capture itself.
void writeLineParts(FILE* stream, std::initializer_list<std::string_view> parts);
// Velloran relies on the service ending by SIGPIPE once it has gone, and the line writers end it so
// whatever the service was started with. Until then the signal is held back in every thread (call
// before any thread starts): an X server that goes away under a request raises it too, and that must
// cost the service a connection, not its life.
void holdBackBrokenPipe();

// One log line, written whole and flushed: several threads log at once and their lines must not mix.
void logOut(const std::string& line);
void logErr(const std::string& line);

// Reads a numeric request member as a 32-bit signed integer: fractions are dropped, values outside
// the 32-bit range keep their low 32 bits, true/false read as 1/0. Throws when the member is
// missing, `data` is not an object, or the value is not a finite number or boolean.
int32_t readInt32Member(const nlohmann::json& data, const char* name);
