// The sensor cache after a run: its sensor keys, the sensors it marks present, and how they
// compare with the simulated notebook's.
#include "cache_check.h"

#include <stdio.h>

#include "base/cache_layout.h"
#include "regedit.h"

namespace ktsensors {

namespace {

// Lower-cases ASCII letters: registry names compare without case.
std::string Folded(std::string text)
{
    for (char &c : text)
        if (c >= 'A' && c <= 'Z')
            c = (char)(c - 'A' + 'a');
    return text;
}

// The sensor keys of the cache by physical index; null where the cache has none.
std::vector<const RegKey *> SensorKeys(const RegKey &cache)
{
    std::vector<const RegKey *> keys(MAPPED_INDEX_LIMIT, nullptr);
    for (const RegKey &sub : cache.subkeys) {
        std::string name = sub.path.substr(sub.path.rfind('\\') + 1);
        for (int index = 0; index < MAPPED_INDEX_LIMIT; ++index) {
            char expected[32];
            snprintf(expected, sizeof expected, SENSOR_KEY_FORMAT, index);
            if (Folded(name) == Folded(expected))
                keys[index] = &sub;
        }
    }
    return keys;
}

// The physical indices the cache marks present, in order: the ordinals' sensors.
std::vector<int> PresentInCache(const RegKey &cache)
{
    std::vector<int> present;
    std::vector<const RegKey *> keys = SensorKeys(cache);
    for (int index = 0; index < MAPPED_INDEX_LIMIT; ++index) {
        int flag = 0;
        if (keys[index] && DwordValue(*keys[index], VALUE_IS_PRESENT, &flag) && flag == 1)
            present.push_back(index);
    }
    return present;
}

// "0, 2, 5", or "none".
std::string IndexList(const std::vector<int> &indices)
{
    if (indices.empty())
        return "none";
    std::string text;
    for (int index : indices)
        text += (text.empty() ? "" : ", ") + std::to_string(index);
    return text;
}

} // namespace

std::string CacheMisfit(Backend &backend, const Options &options, RegKey *cache)
{
    *cache = RegKey{};
    std::string error;
    const SimConfig *notebook = backend.library->Notebook();
    if (backend.registry->Open(options.registry, notebook, false, &error) != Outcome::Ok ||
        backend.registry->ReadTree(THERMAL_KEY_PATH, cache, &error) != Outcome::Ok || !notebook)
        return "";
    std::vector<int> cached = PresentInCache(*cache);
    std::vector<int> expected;
    for (int index = 0; index < (int)SIM_PHYSICAL_SENSORS; ++index)
        if (notebook->presence & (1u << index))
            expected.push_back(index);
    if (cached == expected)
        return "";
    return "the sensor cache in use has sensors " + IndexList(cached) + " but " +
           (options.scenario.empty() ? "the notebook" : "the scenario") + " has sensors " + IndexList(expected) +
           ": run with --reset-cache to rebuild it";
}

std::vector<StatusThresholds> ThresholdsFromCache(const RegKey &cache)
{
    std::vector<StatusThresholds> thresholds;
    std::vector<const RegKey *> keys = SensorKeys(cache);
    for (int index : PresentInCache(cache)) {
        StatusThresholds t;
        t.known = DwordValue(*keys[index], VALUE_WARNING_HIGH, &t.warningHigh) &&
                  DwordValue(*keys[index], VALUE_WARNING_NORMAL, &t.warningNormal) &&
                  DwordValue(*keys[index], VALUE_CRITICAL_HIGH, &t.criticalHigh);
        thresholds.push_back(t);
    }
    return thresholds;
}

} // namespace ktsensors
