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
    // A small limit lets short inputs reach the overlong-line path too.
    for (LineStatus status; (status = readCommandLine(in, line, 512)) != LineStatus::End;)
        if (status == LineStatus::Line) handleCommandLine(line);
    fclose(in);
    return 0;
}
