// Shared set-up for unit tests: a fresh stand-in machine per test, the library attached
// through its entry point as the loader would, and the registry layout spelt out literally.
#ifndef KOVALTHERM_TESTS_MACHINE_H
#define KOVALTHERM_TESTS_MACHINE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame/entry.h"
#include "kovaltherm.h"
#include "platform/host/test_controls.h"

inline const std::string kThermalPath = "SOFTWARE\\Norvane\\QuenlarFeatures\\Thermal";

inline std::string SensorPath(int index)
{
    return kThermalPath + "\\Sensor " + std::to_string(index);
}

// Reads a REG_DWORD from the stand-in registry; `fallback` when missing.
inline int32_t Dword(const std::string &path, const std::string &name, int32_t fallback = -12345)
{
    int32_t value;
    return host::GetDword(path, name, &value) ? value : fallback;
}

inline bool HasValue(const std::string &path, const std::string &name)
{
    host::RegValue value;
    return host::Registry().GetValue(path, name, &value);
}

// Every key and value under `path`, as text, for comparing the registry before and after.
inline std::string RegistrySnapshot(const std::string &path = "")
{
    std::string text = "[" + path + "]\n";
    for (auto &value : host::Registry().Values(path)) {
        text += value.first + "=" + std::to_string(value.second.type) + ":";
        for (BYTE b : value.second.data)
            text += std::to_string(b) + ",";
        text += "\n";
    }
    for (const std::string &sub : host::Registry().SubKeys(path))
        text += RegistrySnapshot(path.empty() ? sub : path + "\\" + sub);
    return text;
}

// Stores a value of any type and bytes in the registry, creating the key.
inline void SetRaw(const std::string &path, const std::string &name, DWORD type,
                   std::vector<BYTE> data)
{
    host::RegValue value;
    value.type = type;
    value.data = std::move(data);
    host::Registry().CreateKey(path);
    host::Registry().SetValue(path, name, value);
}

// Writes a complete cache: `present` per physical index 0..7, with limits per index.
struct CachedSensor {
    int index;
    int warnNormal, warnHigh, critNormal, critHigh;
};

inline void WriteCache(const std::vector<CachedSensor> &sensors, int count)
{
    for (int i = 0; i < 8; ++i)
        host::SetDword(SensorPath(i), "Is present", 0);
    for (const CachedSensor &s : sensors) {
        host::SetDword(SensorPath(s.index), "Is present", 1);
        host::SetDword(SensorPath(s.index), "Warning Normal", s.warnNormal);
        host::SetDword(SensorPath(s.index), "Warning High", s.warnHigh);
        host::SetDword(SensorPath(s.index), "Critical Normal", s.critNormal);
        host::SetDword(SensorPath(s.index), "Critical High", s.critHigh);
        host::SetDword(SensorPath(s.index), "Previous State", 0);
    }
    host::SetDword(kThermalPath, "Number of sensors", count);
}

// Requests of one control code in the notebook's log.
inline std::vector<SimLogEntry> RequestsWithCode(uint32_t code)
{
    std::vector<SimLogEntry> found;
    for (const SimLogEntry &entry : host::RequestLog())
        if (entry.code == code)
            found.push_back(entry);
    return found;
}

class MachineTest : public ::testing::Test {
protected:
    void SetUp() override { host::ResetMachine(); }

    void TearDown() override
    {
        if (attached_)
            Detach();
        host::ClearFault();
    }

    // Loads the library as the loader would: DllMain with process attach.
    BOOL Attach()
    {
        BOOL loaded = DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr);
        attached_ = loaded != FALSE;
        return loaded;
    }

    void Detach()
    {
        DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);
        attached_ = false;
    }

    // Loads a scenario built from the default notebook by `edit`.
    template <class Edit> void Scenario(Edit edit)
    {
        SimConfig config;
        SimDefaultConfig(&config);
        edit(config);
        host::LoadScenario(config);
    }

private:
    bool attached_ = false;
};

#endif
