// Placeholder until the /proc walk lands.
#include "platform_wayland.h"

void getOpenApplicationsWayland(std::vector<nlohmann::json>&) {}
