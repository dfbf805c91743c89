// Shared by the fuzz targets: reading a machine and a call sequence from the input, and the
// checks every call must pass. A failed check aborts, so that libFuzzer keeps the input.
#ifndef KOVALTHERM_FUZZ_COMMON_H
#define KOVALTHERM_FUZZ_COMMON_H

#include <fuzzer/FuzzedDataProvider.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "tests/support/exports.h"
#include "cache/rebuild.h"
#include "frame/entry.h"
#include "platform/host/test_controls.h"

namespace fuzz {

using namespace reliability;

// The longest an export may take on the virtual clock (see the hardware tests).
const uint64_t kCallBoundMs = 2 * 20 * (8 * 2 + 50) + 1357;

const char *const kThermalPath = "SOFTWARE\\Norvane\\QuenlarFeatures\\Thermal";

// Aborts with a message when `ok` is false.
inline void Check(bool ok, const char *what, ExportId id = EXPORT_COUNT, int ordinal = 0,
                  Answer a = {0, 0})
{
    if (ok)
        return;
    fprintf(stderr, "check failed: %s; export %s(%d) answered (%d, %d)\n", what,
            id < EXPORT_COUNT ? ExportName(id) : "-", ordinal, a.result, a.out);
    abort();
}

// One input in this many runs the healing check, which costs several times the rest of a
// run, besides those that ask for it.
const int kHealSample = 32;

// True if this input runs the healing check: it asks for it (its next byte is the largest
// below kHealSample), or it is one of the sample, chosen by an FNV-1a hash of its bytes so
// that the same input always decides alike.
inline bool HealThisInput(FuzzedDataProvider &in, const uint8_t *data, size_t size)
{
    if (in.ConsumeIntegralInRange<int>(0, kHealSample - 1) == kHealSample - 1)
        return true;
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < size; ++i)
        hash = (hash ^ data[i]) * 16777619u;
    return hash % kHealSample == 0;
}

// Picks an ordinal: mostly near the sensors, sometimes anything.
inline int PickOrdinal(FuzzedDataProvider &in)
{
    if (in.ConsumeIntegralInRange<int>(0, 7) == 0)
        return in.ConsumeIntegral<int>();
    return in.ConsumeIntegralInRange<int>(-2, 9);
}

// Calls one export and checks what every call must satisfy: an answer in the export's
// range, the time bound, no key left open and the driver still open.
inline Answer CheckedCall(ExportId id, int ordinal)
{
    uint64_t start = host::NowMs();
    Answer a = Invoke(id, ordinal);
    Check(host::NowMs() - start <= kCallBoundMs, "time bound", id, ordinal, a);
    // The registry may hold any negative limit, which a failed limit read passes through.
    int storedNegative = a.result == 0 && a.out < 0 ? a.out : -1;
    Check(IsInRange(id, a, storedNegative), "answer out of range", id, ordinal, a);
    Check(host::OpenKeyCount() == 0, "registry key left open", id, ordinal, a);
    Check(host::OpenHandleCount() - host::OpenTimerCount() == 1 && host::OpenTimerCount() <= 1, "driver handle lost", id, ordinal, a);
    return a;
}

// Sensor key paths the registry edits aim at: the Thermal key and "Sensor -1" to "Sensor 9"
// (made once: the edits run on every input).
inline const std::string &PickKey(FuzzedDataProvider &in)
{
    static const std::vector<std::string> keys = [] {
        std::vector<std::string> paths{kThermalPath};
        for (int which = -1; which <= 9; ++which)
            paths.push_back(std::string(kThermalPath) + "\\Sensor " + std::to_string(which));
        return paths;
    }();
    return keys[in.ConsumeIntegralInRange<size_t>(0, keys.size() - 1)];
}

inline const std::string &PickValueName(FuzzedDataProvider &in)
{
    static const std::string names[] = {"Number of sensors", "Is present",    "Warning Normal",
                                        "Warning High",      "Critical Normal", "Critical High",
                                        "Previous State",    "number OF sensors"};
    return names[in.ConsumeIntegralInRange<size_t>(0, sizeof names / sizeof names[0] - 1)];
}

// Applies up to `limit` registry edits from the input: set a value of any type and size,
// delete a value, or delete a key.
inline void EditRegistry(FuzzedDataProvider &in, int limit)
{
    int edits = in.ConsumeIntegralInRange<int>(0, limit);
    for (int i = 0; i < edits && in.remaining_bytes() > 0; ++i) {
        const std::string &key = PickKey(in);
        switch (in.ConsumeIntegralInRange<int>(0, 5)) {
        case 0:
            host::Registry().DeleteValue(key, PickValueName(in));
            break;
        case 1:
            host::Registry().DeleteKey(key);
            break;
        case 2: {
            host::RegValue value;
            static const DWORD types[] = {REG_NONE, REG_SZ, REG_BINARY, REG_DWORD, REG_QWORD};
            value.type = types[in.ConsumeIntegralInRange<int>(0, 4)];
            value.data = in.ConsumeBytes<BYTE>(in.ConsumeIntegralInRange<size_t>(0, 9));
            host::Registry().CreateKey(key);
            host::Registry().SetValue(key, PickValueName(in), value);
            break;
        }
        default: {
            // A well-formed REG_DWORD, the commonest kind of damage.
            static const int32_t interesting[] = {0, 1, 2, -1, 3, 8, 9, 255, 256, 0x7FFFFFFF,
                                                  (int32_t)0x80000000, -100, 90};
            int32_t v = in.ConsumeBool()
                            ? interesting[in.ConsumeIntegralInRange<int>(0, 12)]
                            : in.ConsumeIntegral<int32_t>();
            host::SetDword(key, PickValueName(in), v);
            break;
        }
        }
    }
}

// Arms a fault from the input: none, the n-th call once or from then on, or a pattern, over
// a chosen set of platform functions.
inline void ArmFault(FuzzedDataProvider &in)
{
    int kind = in.ConsumeIntegralInRange<int>(0, 3);
    if (kind == 0)
        return;
    uint32_t functions = in.ConsumeIntegral<uint32_t>() & host::kFailableFunctions;
    if (functions == 0)
        functions = host::kFailableFunctions;
    if (kind == 3) {
        std::vector<uint8_t> pattern = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<int>(1, 8));
        host::InjectFaultPattern(pattern, functions);
        return;
    }
    uint64_t nth = in.ConsumeIntegralInRange<uint64_t>(1, 600);
    host::InjectFault(nth, kind == 1 ? host::FaultMode::Once : host::FaultMode::Persistent,
                      functions);
}

} // namespace fuzz

#endif
