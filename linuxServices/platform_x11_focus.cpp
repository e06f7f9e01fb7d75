// Placeholder until the focus monitor lands.
#include "platform_common.h"
#include "platform_x11.h"

void x11_followActiveWindow(bool, bool) {
    logErr("Failed to start application changes, function not available.");
}
void x11_monitorFocusChanges() {
    x11_followActiveWindow(false, true);
}
