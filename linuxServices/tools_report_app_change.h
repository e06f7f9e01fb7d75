#pragma once

#include <cstdint>
#include <string>

// The one way focus changes reach Velloran. Safe to call from any thread; a report equal to the
// last one sent (same pid, same executable base name, same title) is dropped.
void reportApplicationChange(int32_t pid, const std::string& procIn, const std::string& titleIn,
                             bool fromX11);
