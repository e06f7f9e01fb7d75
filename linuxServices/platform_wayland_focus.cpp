// Placeholder until the accessibility and XWayland monitors land.
#include "platform_common.h"
#include "platform_wayland.h"

void wayland_monitorFocusEntry() {
    logErr("Failed to start application changes, function not available.");
}
