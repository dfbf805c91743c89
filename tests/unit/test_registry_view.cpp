// Every key of the cache is opened and created in the registry view that 32- and 64-bit
// builds share: the host stand-in has it as the x64 build does, KEY_WOW64_32KEY.
#include <functional>

#include "tests/support/machine.h"

namespace {

constexpr REGSAM kViewFlags = 0x0100 | 0x0200; // KEY_WOW64_64KEY | KEY_WOW64_32KEY
constexpr REGSAM kSharedView = 0x0200;         // KEY_WOW64_32KEY

class RegistryViewTest : public MachineTest {};

struct ViewCase {
    const char *name;
    std::function<void()> prepare;     // the registry before the library loads
    std::function<void()> use;         // the calls made while it is loaded
    bool creates;                      // the calls build (part of) the cache
};

void ReadEverySensor()
{
    int n = LMGetNumSensors();
    for (int i = 0; i <= n; ++i) {
        int value;
        LMGetSensorLocation(i, &value);
        LMReadTemperature(i, &value);
        LMReadWarningLimit(i, &value);
        LMReadCriticalLimit(i, &value);
        LMReadTempStatus(i, &value);
    }
}

TEST_F(RegistryViewTest, EveryOpenAndCreateOfTheCacheUsesTheSharedView)
{
    const ViewCase cases[] = {
        {"first load builds the cache", [] {}, ReadEverySensor, true},
        {"cached notebook read as usual",
         [] { WriteCache({{0, 85, 90, 95, 98}, {2, 60, 65, 70, 75}}, 2); }, ReadEverySensor,
         false},
        {"a cache without its count is rebuilt",
         [] {
             WriteCache({{0, 85, 90, 95, 98}}, 1);
             host::Registry().DeleteValue(kThermalPath, "Number of sensors");
         },
         ReadEverySensor, true},
    };
    for (const ViewCase &c : cases) {
        SCOPED_TRACE(c.name);
        host::ResetMachine();
        c.prepare();
        ASSERT_TRUE(Attach());
        c.use();
        Detach();
        std::vector<host::RegistryOpenCall> calls = host::RegistryOpenCalls();
        int opens = 0, creates = 0;
        for (const host::RegistryOpenCall &call : calls) {
            EXPECT_EQ(call.access & kViewFlags, kSharedView)
                << (call.function == host::FN_REG_CREATE_KEY ? "create " : "open ") << call.subKey
                << " with access 0x" << std::hex << call.access;
            (call.function == host::FN_REG_CREATE_KEY ? creates : opens)++;
        }
        EXPECT_GT(opens, 0);
        EXPECT_EQ(creates > 0, c.creates) << creates << " creates";
    }
}

TEST_F(RegistryViewTest, AccessMaskWithBothViewsIsRefused)
{
    host::Registry().CreateKey(kThermalPath);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kThermalPath.c_str(), 0, KEY_READ | kViewFlags,
                            &key),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kThermalPath.c_str(), 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_WRITE | kViewFlags, nullptr, &key,
                              nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(host::OpenKeyCount(), 0);
}

} // namespace
