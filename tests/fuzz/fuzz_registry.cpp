// Fuzzes the registry cache on the default notebook: any values of any type and size under
// the Thermal key and its sensor keys, then a sequence of export calls. Every call must
// answer in range and leave nothing open, and (on a sample of inputs) one forced rebuild must
// bring back the notebook's documented answers.
#include "fuzz_common.h"

using namespace fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    host::ResetMachine();
    if (DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr) == FALSE)
        abort();
    if (in.ConsumeBool())
        LMGetNumSensors();
    EditRegistry(in, 40);
    int calls = in.ConsumeIntegralInRange<int>(1, 16);
    for (int i = 0; i < calls && in.remaining_bytes() > 0; ++i) {
        ExportId id = (ExportId)in.ConsumeIntegralInRange<int>(0, EXPORT_COUNT - 1);
        CheckedCall(id, PickOrdinal(in));
    }
    if (!HealThisInput(in, data, size)) {
        DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);
        Check(host::OpenHandleCount() == 0, "detach left the driver open");
        return 0;
    }
    RefreshSensorCache(REFRESH_FORCE);
    for (int e = 0; e < SHUTDOWN_LIBRARY; ++e)
        for (int o = -1; o <= kDefaultCount; ++o) {
            Answer a = CheckedCall((ExportId)e, o);
            Check(a == DefaultAnswer((ExportId)e, o), "not healed by one rebuild", (ExportId)e,
                  o, a);
        }
    DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);
    Check(host::OpenHandleCount() == 0, "detach left the driver open");
    return 0;
}
