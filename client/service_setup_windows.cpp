// The service's restarts, as both installers set them (service_setup_windows.h).
#include "service_setup_windows.h"

#include "error_text_windows.h"
#include "service_rules.h"
#include "wide_windows.h"

namespace ktsensors {

bool ConfigureRestarts(SC_HANDLE service, std::string *holds)
{
    SC_ACTION actions[KT_RESTART_COUNT];
    for (size_t i = 0; i < KT_RESTART_COUNT; ++i)
        actions[i] = {SC_ACTION_RESTART, KT_RESTART_DELAYS_MS[i]};
    SERVICE_FAILURE_ACTIONSW failure = {KT_FAILURE_RESET_SECONDS, nullptr, nullptr, KT_RESTART_COUNT, actions};
    if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure)) {
        *holds = "cannot set the service's restarts after a failure (" + ErrorText(GetLastError()) + ")";
        return false;
    }
    std::string delays;
    for (size_t i = 0; i < KT_RESTART_COUNT; ++i)
        delays += std::to_string(KT_RESTART_DELAYS_MS[i] / 1000) + " s" +
                  (i + 2 < KT_RESTART_COUNT ? ", " : i + 1 < KT_RESTART_COUNT ? " and " : "");
    std::string start = "the service " + Utf8(KT_SERVICE_NAME) + " is restarted " + delays + " after ";
    std::string count = " (the count of failures starts again after " +
                        std::to_string(KT_FAILURE_RESET_SECONDS / 3600) + " hours)";
    SERVICE_FAILURE_ACTIONS_FLAG flag = {TRUE};
    if (ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag)) {
        *holds = start + "it fails, whether it ends unexpectedly or stops with an error" + count;
    } else {
        *holds = start + "it ends unexpectedly" + count + "; after it stops with an error it stays stopped, as this " +
                 "service manager does not support restarts after an error stop (SERVICE_CONFIG_FAILURE_ACTIONS_FLAG: " +
                 ErrorText(GetLastError()) + "; Windows supports them since Vista, Wine does not)";
    }
    return true;
}

} // namespace ktsensors
