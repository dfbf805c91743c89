// The sensor cache in the registry: reads, writes and the ordinal mapping.
#include "cache/store.h"
#include "tests/support/machine.h"

namespace {

class StoreTest : public MachineTest {
protected:
    void TearDown() override
    {
        EXPECT_EQ(host::OpenKeyCount(), 0) << "a registry key was left open";
        MachineTest::TearDown();
    }

    // Reads "Previous State" through the mapped sensor's key, 0 when it cannot be read.
    static int ReadPreviousState(int ordinal)
    {
        SensorKey sensor;
        if (OpenMappedSensor(ordinal, &sensor, nullptr) == READ_FAILED)
            return 0;
        int state = ReadSensorKeyValue(&sensor, "Previous State", 0, nullptr);
        CloseSensorKey(&sensor);
        return state;
    }

    // Marks physical indices present (1), absent (0) or with another "Is present" value.
    void Mark(const std::vector<std::pair<int, int>> &flags)
    {
        for (auto &flag : flags)
            host::SetDword(SensorPath(flag.first), "Is present", flag.second);
    }
};

struct MappingCase {
    const char *name;
    std::vector<std::pair<int, int>> flags; // physical index, "Is present"
    std::vector<std::pair<int, int>> expected; // ordinal, physical index
};

TEST_F(StoreTest, MapsOrdinalsToPresentPhysicalSensors)
{
    const MappingCase cases[] = {
        {"gaps: 1 and 3 present", {{0, 0}, {1, 1}, {2, 0}, {3, 1}},
         {{0, 1}, {1, 3}, {2, -1}, {-1, -1}, {-5, -1}}},
        {"keys 0 and 2 missing", {{1, 0}, {3, 1}, {5, 1}}, {{0, 3}, {1, 5}, {2, -1}}},
        {"'Is present' 2 counts as absent", {{0, 2}, {1, -1}, {2, 1}}, {{0, 2}, {1, -1}}},
        {"index 8 is looked at", {{7, 1}, {8, 1}}, {{0, 7}, {1, 8}, {2, -1}}},
        {"index 9 is not", {{9, 1}}, {{0, -1}}},
        {"all eight present", {{0, 1}, {1, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 1}, {6, 1}, {7, 1}},
         {{0, 0}, {4, 4}, {7, 7}, {8, -1}}},
        {"no cache at all", {}, {{0, -1}}},
    };
    for (const MappingCase &c : cases) {
        SCOPED_TRACE(c.name);
        host::Registry().DeleteKey("SOFTWARE");
        Mark(c.flags);
        for (auto &e : c.expected)
            EXPECT_EQ(OrdinalToIndex(e.first, nullptr), e.second) << "ordinal " << e.first;
    }
}

TEST_F(StoreTest, MappingRereadsTheRegistryEveryCall)
{
    Mark({{2, 1}});
    EXPECT_EQ(OrdinalToIndex(0, nullptr), 2);
    Mark({{0, 1}});
    EXPECT_EQ(OrdinalToIndex(0, nullptr), 0);
}

struct ValueCase {
    const char *name;
    DWORD type;
    std::vector<BYTE> data;
    int expected;
};

TEST_F(StoreTest, ReadsOnlyFourByteDwordValues)
{
    const ValueCase cases[] = {
        {"dword 90", REG_DWORD, {90, 0, 0, 0}, 90},
        {"dword -7", REG_DWORD, {0xF9, 0xFF, 0xFF, 0xFF}, -7},
        {"dword 128", REG_DWORD, {128, 0, 0, 0}, 128},
        {"short dword is zero-extended", REG_DWORD, {90, 0}, 90},
        {"eight-byte dword does not fit", REG_DWORD, {90, 0, 0, 0, 0, 0, 0, 0}, -1},
        {"text \"90\"", REG_SZ, {'9', '0', 0}, -1},
        {"binary of four bytes", REG_BINARY, {90, 0, 0, 0}, -1},
        {"qword", REG_QWORD, {90, 0, 0, 0, 0, 0, 0, 0}, -1},
    };
    Mark({{4, 1}});
    for (const ValueCase &c : cases) {
        SCOPED_TRACE(c.name);
        SetRaw(SensorPath(4), "Warning High", c.type, c.data);
        EXPECT_EQ(ReadSensorValue(0, "Warning High", nullptr), c.expected);
        SetRaw(SensorPath(4), "Previous State", c.type, c.data);
        EXPECT_EQ(ReadPreviousState(0), c.expected == -1 ? 0 : c.expected);
        SetRaw(kThermalPath, "Number of sensors", c.type, c.data);
        EXPECT_EQ(ReadSensorCount(nullptr), c.expected);
    }
}

TEST_F(StoreTest, MissingEntriesReadAsTheirSentinels)
{
    EXPECT_EQ(ReadSensorCount(nullptr), -1);                   // no Thermal key
    EXPECT_EQ(ReadSensorValue(0, "Is present", nullptr), -1); // no sensor key
    Mark({{1, 1}});
    EXPECT_EQ(ReadSensorCount(nullptr), -1);                   // key without the value
    EXPECT_EQ(ReadSensorValue(0, "Warning High", nullptr), -1);
    EXPECT_EQ(ReadPreviousState(0), 0);
    EXPECT_EQ(ReadSensorValue(1, "Warning High", nullptr), -1); // ordinal that does not map
    EXPECT_EQ(ReadPreviousState(1), 0);
    host::SetDword(SensorPath(1), "Warning High", 90);
    host::SetDword(SensorPath(1), "Previous State", 2);
    EXPECT_EQ(ReadSensorValue(0, "Warning High", nullptr), 90);
    EXPECT_EQ(ReadPreviousState(0), 2);
}

TEST_F(StoreTest, WritesPreviousStateOnlyForAMappedOrdinal)
{
    Mark({{0, 0}, {1, 1}, {6, 1}});
    std::string before = RegistrySnapshot();
    WritePreviousState(2, 3, nullptr);
    WritePreviousState(-1, 3, nullptr);
    EXPECT_EQ(RegistrySnapshot(), before);
    WritePreviousState(1, 3, nullptr);
    EXPECT_EQ(Dword(SensorPath(6), "Previous State"), 3);
    EXPECT_FALSE(HasValue(SensorPath(1), "Previous State"));
}

TEST_F(StoreTest, WritesPresenceAndCountThroughTheOpenThermalKey)
{
    host::Registry().CreateKey(kThermalPath);
    HKEY thermal;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kThermalPath.c_str(), 0, KEY_WRITE, &thermal), 0);
    EXPECT_EQ(WriteSensorPresent(thermal, 5, 1, nullptr), 1);
    EXPECT_EQ(WriteSensorPresent(thermal, 6, 0, nullptr), 1);
    EXPECT_EQ(WriteSensorCount(thermal, 1, nullptr), 1);
    EXPECT_EQ(host::OpenKeyCount(), 1); // the Thermal key stays open
    RegCloseKey(thermal);
    EXPECT_EQ(Dword(SensorPath(5), "Is present"), 1);
    EXPECT_EQ(Dword(SensorPath(6), "Is present"), 0);
    EXPECT_EQ(Dword(kThermalPath, "Number of sensors"), 1);

    // Through a key opened for reading only, nothing can be written.
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kThermalPath.c_str(), 0, KEY_READ, &thermal), 0);
    EXPECT_EQ(WriteSensorCount(thermal, 4, nullptr), 0);
    EXPECT_EQ(WriteSensorPresent(thermal, 7, 1, nullptr), 0);
    RegCloseKey(thermal);
    EXPECT_EQ(Dword(kThermalPath, "Number of sensors"), 1);
    EXPECT_FALSE(host::Registry().KeyExists(SensorPath(7)));
}

} // namespace
