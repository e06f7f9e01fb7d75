// Placeholder until the client list lands.
#include "platform_x11.h"

void getOpenApplicationsX11(std::vector<nlohmann::json>&) {}
