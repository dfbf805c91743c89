// The driver's one simulated notebook and the control codes it serves.
#include "driver/notebook_service.h"

#include "sim/notebook.h"

namespace {

SimNotebook g_notebook;
// The driver's clock when the notebook was last loaded: the notebook's time starts there, so
// that a scenario's traces begin when the program that loaded it starts.
uint32_t g_originMs;

} // namespace

extern "C" void QorixStartNotebook(void)
{
    SimConfig config;
    SimDefaultConfig(&config);
    SimLoad(&g_notebook, &config);
}

extern "C" uint32_t QorixServe(uint32_t code, void *buffer, uint32_t inputLength,
                               uint32_t outputLength, uint32_t *information, uint32_t nowMs)
{
    *information = 0;
    switch (code) {
    case SIM_IOCTL_LOAD_SCENARIO: {
        if (inputLength < sizeof(SimConfig))
            return QORIX_ERROR_INVALID_PARAMETER;
        const SimConfig *config = static_cast<const SimConfig *>(buffer);
        uint32_t another = SimSameNotebook(&g_notebook.config, config) ? 0 : 1;
        SimLoad(&g_notebook, config);
        g_originMs = nowMs;
        // The answer shares the buffer with the scenario, which is copied by now.
        if (outputLength >= sizeof another) {
            *static_cast<uint32_t *>(buffer) = another;
            *information = sizeof another;
        }
        return 0;
    }
    case SIM_IOCTL_READ_LOG: {
        if (inputLength < sizeof(uint32_t) || outputLength < sizeof(SimLogPage))
            return QORIX_ERROR_INVALID_PARAMETER;
        uint32_t first = *static_cast<const uint32_t *>(buffer);
        SimReadLog(&g_notebook, first, static_cast<SimLogPage *>(buffer));
        *information = sizeof(SimLogPage);
        return 0;
    }
    default:
        return SimDeviceControl(&g_notebook, code, buffer, inputLength, buffer, outputLength,
                                information, nowMs - g_originMs);
    }
}
