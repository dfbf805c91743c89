// Damaged caches: every value the library reads, missing, of another type, of another size
// or holding extreme numbers, and a few damaged layouts. Each export must answer within its
// documented range, and one successful rebuild must restore the cache and every answer.
#include <limits.h>
#include <stdio.h>

#include "cache/rebuild.h"
#include "tests/support/exports.h"
#include "tests/support/machine.h"

namespace {

using namespace reliability;

struct Damage {
    std::string name;
    std::function<void()> apply;
    std::string limit = {}; // a limit of sensor 0 set negative, which its export passes through
    int limitValue = -1;
};

// A four-byte little-endian image of a 32-bit value.
std::vector<BYTE> Bytes32(int32_t value)
{
    uint32_t v = (uint32_t)value;
    return {(BYTE)v, (BYTE)(v >> 8), (BYTE)(v >> 16), (BYTE)(v >> 24)};
}

// The forms a stored value can be damaged into, applied to one value.
std::vector<Damage> FormsOf(const std::string &path, const std::string &name)
{
    std::vector<Damage> forms;
    auto raw = [&](const std::string &form, DWORD type, std::vector<BYTE> data) {
        forms.push_back({path + " : " + name + " " + form,
                         [=] { SetRaw(path, name, type, data); }});
    };
    forms.push_back({path + " : " + name + " missing",
                     [=] { host::Registry().DeleteValue(path, name); }});
    raw("REG_SZ \"1\"", REG_SZ, {'1', 0});
    raw("REG_BINARY 1", REG_BINARY, Bytes32(1));
    raw("REG_QWORD 1", REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0});
    raw("REG_DWORD of 2 bytes", REG_DWORD, {1, 0});
    raw("REG_DWORD of 0 bytes", REG_DWORD, {});
    raw("REG_DWORD of 8 bytes", REG_DWORD, {1, 0, 0, 0, 0, 0, 0, 0});
    for (int32_t v : {0, -1, 255, 256, INT_MAX, INT_MIN}) {
        raw("= " + std::to_string(v), REG_DWORD, Bytes32(v));
        forms.back().limit = name;
        forms.back().limitValue = v;
    }
    return forms;
}

std::vector<Damage> AllDamages()
{
    std::vector<Damage> all;
    auto add = [&](std::vector<Damage> forms) { all.insert(all.end(), forms.begin(), forms.end()); };
    add(FormsOf(kThermalPath, "Number of sensors"));
    // Physical sensor 0 is ordinal 0; physical 2 is absent.
    for (const char *name : {"Is present", "Warning Normal", "Warning High", "Critical Normal",
                             "Critical High", "Previous State"})
        add(FormsOf(SensorPath(0), name));
    add(FormsOf(SensorPath(2), "Is present"));
    all.push_back({"count -5", [] { host::SetDword(kThermalPath, "Number of sensors", -5); }});
    all.push_back({"count 1000000",
                   [] { host::SetDword(kThermalPath, "Number of sensors", 1000000); }});
    all.push_back({"Sensor 0 Is present 2", [] { host::SetDword(SensorPath(0), "Is present", 2); }});
    all.push_back({"Sensor 3 Is present 2", [] { host::SetDword(SensorPath(3), "Is present", 2); }});
    all.push_back({"stray Sensor 8 present", [] { host::SetDword(SensorPath(8), "Is present", 1); }});
    all.push_back({"stray Sensor 8 present, count 4", [] {
                       host::SetDword(SensorPath(8), "Is present", 1);
                       host::SetDword(SensorPath(8), "Warning High", 70);
                       host::SetDword(kThermalPath, "Number of sensors", 4);
                   }});
    all.push_back({"Sensor 0 key missing", [] { host::Registry().DeleteKey(SensorPath(0)); }});
    all.push_back({"Sensor 3 key missing", [] { host::Registry().DeleteKey(SensorPath(3)); }});
    all.push_back({"every sensor key missing", [] {
                       for (int i = 0; i < 8; ++i)
                           host::Registry().DeleteKey(SensorPath(i));
                   }});
    all.push_back({"Previous State 2 with a normal reading",
                   [] { host::SetDword(SensorPath(0), "Previous State", 2); }});
    return all;
}

class DamagedCacheTest : public MachineTest {};

TEST_F(DamagedCacheTest, EveryExportAnswersInRangeAndOneRebuildHeals)
{
    const ExportId exports[] = {GET_NUM_SENSORS,    GET_SENSOR_LOCATION, READ_TEMPERATURE,
                                READ_WARNING_LIMIT, READ_CRITICAL_LIMIT, READ_TEMP_STATUS};
    std::vector<Damage> damages = AllDamages();
    size_t runs = 0;
    for (const Damage &damage : damages) {
        for (ExportId id : exports) {
            SCOPED_TRACE(damage.name + ", " + ExportName(id));
            host::ResetMachine();
            ASSERT_TRUE(Attach());
            ASSERT_EQ(LMGetNumSensors(), kDefaultCount);
            const std::string pristine = RegistrySnapshot();
            damage.apply();
            // Ordinals around the count, and a few far outside it.
            const char *limit = id == READ_WARNING_LIMIT ? "Warning High" : "Critical High";
            for (int ordinal : {0, 1, 2, 3, 4, 8, -1, INT_MAX, INT_MIN}) {
                Answer a = Invoke(id, ordinal);
                int storedNegative =
                    ordinal == 0 && damage.limit == limit && damage.limitValue < 0
                        ? damage.limitValue
                        : -1;
                ASSERT_TRUE(IsInRange(id, a, storedNegative)) << ordinal << " " << ToString(a);
                ASSERT_EQ(host::OpenKeyCount(), 0);
            }
            // One successful rebuild restores every value the library reads.
            RefreshSensorCache(REFRESH_FORCE);
            // A stray key is never removed, and keys of absent sensors keep their values.
            host::Registry().DeleteKey(SensorPath(8));
            for (int absent : {2, 4, 5, 6, 7})
                for (auto &value : host::Registry().Values(SensorPath(absent)))
                    if (value.first != "Is present")
                        host::Registry().DeleteValue(SensorPath(absent), value.first);
            ASSERT_EQ(RegistrySnapshot(), pristine);
            for (int e = 0; e < SHUTDOWN_LIBRARY; ++e)
                for (int ordinal : {0, 1, 2, 3}) {
                    Answer a = Invoke((ExportId)e, ordinal);
                    ASSERT_EQ(a, DefaultAnswer((ExportId)e, ordinal))
                        << ExportName((ExportId)e) << "(" << ordinal << ") " << ToString(a);
                }
            Detach();
            ++runs;
        }
    }
    printf("damaged caches: %zu cases x %zu exports = %zu runs\n", damages.size(),
           sizeof exports / sizeof exports[0], runs);
}

// A damaged value that reads as failed makes the export fail and rebuild by itself; the
// next call answers right.
TEST_F(DamagedCacheTest, UnreadableValuesHealThroughTheExportsOwnRebuild)
{
    struct Case {
        const char *name;
        std::function<void()> apply;
        ExportId id;
        Answer first;
    };
    const Case cases[] = {
        {"count REG_SZ", [] { SetRaw(kThermalPath, "Number of sensors", REG_SZ, {'3', 0}); },
         READ_TEMPERATURE, {0, kUntouched}},
        {"count of 8 bytes",
         [] { SetRaw(kThermalPath, "Number of sensors", REG_DWORD, {3, 0, 0, 0, 0, 0, 0, 0}); },
         GET_NUM_SENSORS, {0, kUntouched}},
        {"count -1", [] { host::SetDword(kThermalPath, "Number of sensors", -1); },
         GET_SENSOR_LOCATION, {0, kUntouched}},
        {"Warning High REG_BINARY",
         [] { SetRaw(SensorPath(0), "Warning High", REG_BINARY, Bytes32(90)); },
         READ_WARNING_LIMIT, {0, -1}},
        {"Critical High REG_QWORD",
         [] { SetRaw(SensorPath(0), "Critical High", REG_QWORD, {98, 0, 0, 0, 0, 0, 0, 0}); },
         READ_CRITICAL_LIMIT, {0, -1}},
        {"Critical High INT_MIN", [] { host::SetDword(SensorPath(0), "Critical High", INT_MIN); },
         READ_CRITICAL_LIMIT, {0, INT_MIN}},
        {"Sensor 0 Is present REG_SZ, count 3: ordinal 2 has no sensor",
         [] { SetRaw(SensorPath(0), "Is present", REG_SZ, {'1', 0}); }, READ_TEMPERATURE,
         {1, 47}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        host::ResetMachine();
        ASSERT_TRUE(Attach());
        ASSERT_EQ(LMGetNumSensors(), kDefaultCount);
        c.apply();
        int ordinal = c.id == READ_TEMPERATURE && c.first.result == 1 ? 1 : 0;
        if (c.first.result == 1) {
            // Ordinal 1 now lands on physical 3; ordinal 2 finds nothing and rebuilds.
            EXPECT_EQ(Invoke(c.id, ordinal), c.first);
            EXPECT_EQ(Invoke(c.id, 2), (Answer{0, -100}));
        } else {
            EXPECT_EQ(Invoke(c.id, ordinal), c.first);
        }
        EXPECT_EQ(Invoke(c.id, ordinal), DefaultAnswer(c.id, ordinal));
        Detach();
    }
}

} // namespace
