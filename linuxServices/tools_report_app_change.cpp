#include "tools_report_app_change.h"

#include "kx-services.h"
#include "platform_common.h"
#include "platform_interface.h"

#include <mutex>

#include <nlohmann/json.hpp>

namespace {
std::mutex g_reportMtx;
int32_t g_lastPid = -1;
std::string g_lastProcB;
std::string g_lastTitle;
} // namespace

void reportApplicationChange(int32_t pid, const std::string& procIn, const std::string& titleIn,
                             bool fromX11) {
    if (pid <= 0 || pipeOut == nullptr) return;
    const std::string prefix = "[Reporting Application/Window Changed]";
    logOut(prefix + " pid=" + std::to_string(pid) + " x11=" + (fromX11 ? "Yes" : "No") + " proc='" +
           (procIn.empty() ? "unknown" : printable(procIn)) + "'" + " title='" +
           (titleIn.empty() ? "unknown" : printable(titleIn)) + "'");
    std::string procB = basenameOf(procIn);

    // Comparing, updating and writing form one step, so two monitors reporting the same change
    // at once send it once.
    std::lock_guard<std::mutex> lock(g_reportMtx);
    if (pid == g_lastPid && procB == g_lastProcB && titleIn == g_lastTitle) {
        logOut(prefix + " Duplicate, rejected");
        return;
    }
    g_lastPid = pid;
    g_lastProcB = std::move(procB);
    g_lastTitle = titleIn;
    writeMessage(
        {{"type", "applicationChanged"}, {"data", {{"pid", pid}, {"proc", procIn}, {"title", titleIn}}}});
}
