// Feeds arbitrary bytes through the same path the incoming pipe takes: line splitting, parsing and
// dispatch on the dummy backend. Nothing Velloran can send may crash, hang or leak.
#include "kx-services.h"

#include <cstdint>
#include <cstdio>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool pipeReady = [] {
        pipeOut = fopen("/dev/null", "w");
        return pipeOut != nullptr;
    }();
    if (!pipeReady || size == 0) return 0;
    FILE* in = fmemopen(const_cast<uint8_t*>(data), size, "r");
    if (!in) return 0;
    std::string line;
    // Each input is read twice: with a small limit, so short inputs reach the overlong-line path too,
    // and with the real one, so lines deep enough for the nesting limit are parsed.
    for (const size_t limit : {size_t(64), MAX_COMMAND_LINE}) {
        rewind(in);
        for (LineStatus status; (status = readCommandLine(in, line, limit)) != LineStatus::End;)
            if (status == LineStatus::Line) handleCommandLine(line);
    }
    fclose(in);
    return 0;
}
