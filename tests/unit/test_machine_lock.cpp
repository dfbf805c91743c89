// The machine-wide locks: the library's mutex around every export, and the controller's
// mutex around every block exchange, opened at attach by their Global names or without them,
// created with a descriptor that lets everyone wait and release and nothing else; a mutex that
// does not come fails the call, which never runs without one that exists.
#include <stdlib.h>

#include <atomic>
#include <thread>

#include "hw/driver.h"
#include "tests/support/machine.h"
#include "tests/support/exports.h"

namespace {

using reliability::Answer;
using reliability::ExportId;
using reliability::Invoke;
using reliability::kUntouched;

const char kThermalGlobal[] = "Global\\Kovaltherm.Thermal";
const char kThermalLocal[] = "Kovaltherm.Thermal";
const char kControllerGlobal[] = "Global\\Access_EC";
const char kControllerLocal[] = "Access_EC";
const DWORD kOpenAccess = 0x00100000 | 0x0001; // SYNCHRONIZE | MUTEX_MODIFY_STATE
const host::HostFunction O = host::FN_OPEN_MUTEX;
const host::HostFunction C = host::FN_CREATE_MUTEX;

// The default notebook's answers, as a lone caller gets them.
struct SensorAnswers {
    int location, temperature, warning, critical, status;
};
const SensorAnswers kDefault[] = {{2, 52, 90, 98, 1}, {4, 41, 65, 75, 1}, {1, 47, 75, 90, 1}};

// Calls every export for every sensor and checks the answers.
void ExpectDefaultAnswers()
{
    ASSERT_EQ(LMGetNumSensors(), 3);
    for (int i = 0; i < 3; ++i) {
        int location = 0, temperature = 0, warning = 0, critical = 0, status = 0;
        EXPECT_EQ(LMGetSensorLocation(i, &location), 1);
        EXPECT_EQ(LMReadTemperature(i, &temperature), 1);
        EXPECT_EQ(LMReadWarningLimit(i, &warning), 1);
        EXPECT_EQ(LMReadCriticalLimit(i, &critical), 1);
        EXPECT_EQ(LMReadTempStatus(i, &status), 1);
        EXPECT_EQ(location, kDefault[i].location) << i;
        EXPECT_EQ(temperature, kDefault[i].temperature) << i;
        EXPECT_EQ(warning, kDefault[i].warning) << i;
        EXPECT_EQ(critical, kDefault[i].critical) << i;
        EXPECT_EQ(status, kDefault[i].status) << i;
    }
}

std::vector<host::Wait> MutexWaits()
{
    std::vector<host::Wait> found;
    for (const host::Wait &w : host::Waits())
        if (w.kind == host::WaitKind::Mutex)
            found.push_back(w);
    return found;
}

// What each export answers without a mutex (in ExportId order): its documented failure.
const Answer kLockedOut[] = {{0, kUntouched}, {0, -1}, {0, -100}, {0, -1}, {0, -1}, {1, 0}};

// Holds a named mutex on a thread of its own until destroyed, moving the virtual clock on by a
// second every real millisecond, so that a wait for it reaches its bound at once.
class Holder {
public:
    explicit Holder(const char *name)
        : thread_([this, name] {
              HANDLE m = CreateMutexA(nullptr, FALSE, name);
              WaitForSingleObject(m, 0);
              held_ = true;
              while (!done_) {
                  host::AdvanceClock(1000);
                  std::this_thread::sleep_for(std::chrono::milliseconds(1));
              }
              ReleaseMutex(m);
              CloseHandle(m);
          })
    {
        while (!held_)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~Holder()
    {
        done_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> held_{false}, done_{false};
    std::thread thread_;
};

using MachineLockTest = MachineTest;

TEST_F(MachineLockTest, AttachOpensOrCreatesBothMutexesGlobalFirst)
{
    struct Call {
        host::HostFunction function;
        const char *name;
    };
    struct Case {
        const char *what;
        host::OsFamily family;
        bool globalNamespace;
        bool descriptor;
        std::vector<Call> calls;
    };
    const Case cases[] = {
        {"NT", host::OsFamily::Nt, true, true,
         {{O, kThermalGlobal}, {C, kThermalGlobal}, {O, kControllerGlobal}, {C, kControllerGlobal}}},
        {"9x", host::OsFamily::Win9x, true, false,
         {{O, kThermalGlobal}, {C, kThermalGlobal}, {O, kControllerGlobal}, {C, kControllerGlobal}}},
        {"NT 4.0: no Global namespace", host::OsFamily::Nt, false, true,
         {{O, kThermalGlobal}, {C, kThermalGlobal}, {O, kThermalGlobal}, {O, kThermalLocal},
          {C, kThermalLocal}, {O, kControllerGlobal}, {C, kControllerGlobal},
          {O, kControllerGlobal}, {O, kControllerLocal}, {C, kControllerLocal}}},
    };
    for (const Case &c : cases) {
        host::ResetMachine();
        host::SetOsFamily(c.family);
        host::SetGlobalNamespace(c.globalNamespace);
        ASSERT_TRUE(Attach()) << c.what;
        std::vector<host::MutexCall> calls = host::MutexCalls();
        ASSERT_EQ(calls.size(), c.calls.size()) << c.what;
        for (size_t i = 0; i < calls.size(); ++i) {
            EXPECT_EQ(calls[i].function, c.calls[i].function) << c.what << " call " << i;
            EXPECT_EQ(calls[i].name, c.calls[i].name) << c.what << " call " << i;
            if (calls[i].function == O) {
                EXPECT_EQ(calls[i].access, kOpenAccess) << c.what << " call " << i;
            } else {
                EXPECT_FALSE(calls[i].initialOwner) << c.what << " call " << i;
                EXPECT_EQ(calls[i].securityAttributes, c.descriptor) << c.what << " call " << i;
                EXPECT_EQ(calls[i].descriptor.empty(), !c.descriptor) << c.what << " call " << i;
            }
        }
        EXPECT_EQ(host::OpenMutexCount(), 2) << c.what;
        ExpectDefaultAnswers();
        Detach();
        EXPECT_EQ(host::OpenMutexCount(), 0) << c.what;
        EXPECT_EQ(host::OpenHandleCount(), 0) << c.what;
    }
}

TEST_F(MachineLockTest, AttachOpensMutexesOtherProgramsCreated)
{
    HANDLE theirs = CreateMutexA(nullptr, FALSE, kControllerGlobal);
    ASSERT_TRUE(Attach());
    std::vector<host::MutexCall> calls = host::MutexCalls();
    ASSERT_EQ(calls.size(), 4u); // theirs, then open and create ours, then open theirs
    EXPECT_EQ(calls[3].function, O);
    EXPECT_EQ(calls[3].name, kControllerGlobal);
    EXPECT_EQ(host::OpenMutexCount(), 3);
    CloseHandle(theirs);
}

// The documented layout of a self-relative security descriptor, field by field.
TEST_F(MachineLockTest, TheDescriptorAllowsEveryoneToWaitAndReleaseOnly)
{
    ASSERT_TRUE(Attach());
    std::vector<BYTE> d;
    for (const host::MutexCall &call : host::MutexCalls())
        if (call.function == C && call.name == kThermalGlobal)
            d = call.descriptor;
    ASSERT_EQ(d.size(), 48u);
    auto word = [&](size_t at) { return (uint32_t)(d[at] | d[at + 1] << 8); };
    auto dword = [&](size_t at) { return word(at) | word(at + 2) << 16; };
    // SECURITY_DESCRIPTOR_RELATIVE
    EXPECT_EQ(d[0], 1);                                   // SECURITY_DESCRIPTOR_REVISION
    EXPECT_EQ(word(2), 0x8000u | 0x0004u);                // SE_SELF_RELATIVE | SE_DACL_PRESENT
    EXPECT_EQ(dword(4), 0u);                              // no owner
    EXPECT_EQ(dword(8), 0u);                              // no group
    EXPECT_EQ(dword(12), 0u);                             // no SACL
    size_t acl = dword(16);
    ASSERT_EQ(acl, 20u);
    // ACL header
    EXPECT_EQ(d[acl], 2);                                 // ACL_REVISION
    EXPECT_EQ(word(acl + 2), 48u - 20u);                  // AclSize: to the end
    EXPECT_EQ(word(acl + 4), 1u);                         // AceCount
    // ACCESS_ALLOWED_ACE
    size_t ace = acl + 8;
    EXPECT_EQ(d[ace], 0);                                 // ACCESS_ALLOWED_ACE_TYPE
    EXPECT_EQ(d[ace + 1], 0);                             // not inherited
    EXPECT_EQ(word(ace + 2), 48u - 28u);                  // AceSize
    EXPECT_EQ(dword(ace + 4), 0x00100000u | 0x0001u);     // SYNCHRONIZE | MUTEX_MODIFY_STATE
    // SID S-1-1-0 (Everyone): revision 1, one subauthority, authority 1 (big-endian), 0
    const std::vector<BYTE> world = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};
    EXPECT_EQ(std::vector<BYTE>(d.begin() + ace + 8, d.end()), world);
}

TEST_F(MachineLockTest, EveryExportHoldsTheThermalMutexAndEachExchangeTheControllerMutex)
{
    ASSERT_TRUE(Attach());
    host::ClearRequestLog();
    ExpectDefaultAnswers();
    EXPECT_TRUE(MutexWaits().empty());

    std::vector<host::MutexEvent> events = host::MutexEvents();
    std::vector<SimLogEntry> log = host::RequestLog();
    int exports = 0, exchanges = 0;
    bool thermalHeld = false, controllerHeld = false;
    for (const host::MutexEvent &e : events) {
        if (e.name == kThermalGlobal) {
            EXPECT_NE(e.acquired, thermalHeld) << "taken once per export, then given up";
            EXPECT_FALSE(controllerHeld);
            thermalHeld = e.acquired;
            exports += e.acquired;
            continue;
        }
        ASSERT_EQ(e.name, kControllerGlobal);
        EXPECT_TRUE(thermalHeld) << "the controller's mutex is taken inside the library's";
        EXPECT_NE(e.acquired, controllerHeld);
        controllerHeld = e.acquired;
        if (e.acquired) {
            // The next request is the exchange's command byte.
            ++exchanges;
            ASSERT_LT(e.requests, log.size());
            EXPECT_EQ(log[e.requests].code, (uint32_t)IOCTL_WRITE_CONTROLLER_BYTE);
            EXPECT_EQ(log[e.requests].input[0], 0x30);
            EXPECT_EQ(log[e.requests].input[1], 0x15);
        } else {
            // The last requests were the release: command byte 0x10 and four zeros.
            ASSERT_GE(e.requests, 5u);
            EXPECT_EQ(log[e.requests - 5].input[0], 0x30);
            EXPECT_EQ(log[e.requests - 5].input[1], 0x10);
            EXPECT_EQ(log[e.requests - 1].input[0], 0x34);
        }
    }
    EXPECT_FALSE(thermalHeld);
    EXPECT_EQ(exports, 1 + 5 * 3);
    EXPECT_EQ(exchanges, 2 * 3); // LMReadTemperature and LMReadTempStatus read the block
}

TEST_F(MachineLockTest, AMutexAbandonedByADeadHolderCountsAsAcquired)
{
    ASSERT_TRUE(Attach());
    ASSERT_EQ(LMGetNumSensors(), 3);
    for (const char *name : {kThermalGlobal, kControllerGlobal}) {
        std::thread([name] {
            HANDLE m = OpenMutexA(kOpenAccess, FALSE, name);
            EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
            CloseHandle(m);
        }).join();
    }
    host::ClearWaits();
    int temperature = 0;
    EXPECT_EQ(LMReadTemperature(0, &temperature), 1);
    EXPECT_EQ(temperature, 52);
    EXPECT_TRUE(MutexWaits().empty());
    // The library gave both back: another thread takes them at once.
    std::thread([] {
        for (const char *name : {kThermalGlobal, kControllerGlobal}) {
            HANDLE m = OpenMutexA(kOpenAccess, FALSE, name);
            EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0) << name;
            ReleaseMutex(m);
            CloseHandle(m);
        }
    }).join();
}

// A mutex held elsewhere past its bound fails the call with its documented failure, and the
// trace names the wait: without the library's, nothing reaches the driver or the registry;
// without the controller's, a read makes no controller request and fails as a failed block
// read does, while the other exports answer.
TEST_F(MachineLockTest, AMutexHeldPastItsBoundFailsTheCallWithItsDocumentedAnswer)
{
    using namespace reliability;
    const char thermal[] = ": library mutex not acquired: the wait for "
                           "\"Global\\Kovaltherm.Thermal\" timed out after 40000 ms\n";
    const char controller[] =
        ": no temperature: 2 block reads failed, 2 attempts: 0 busy, 0 wrong echo, 0 unreadable, "
        "2 without the controller mutex (the wait for \"Global\\Access_EC\" timed out after "
        "2000 ms); rebuild ran to the end\n";
    const struct {
        const char *mutex;
        ExportId id;
        int ordinal;
        std::vector<DWORD> waits; // mutex waits that timed out
        const char *line;         // the trace line's start; none: the call answers
    } cases[] = {
        {kThermalGlobal, GET_NUM_SENSORS, 0, {40000}, "LMGetNumSensors(#1)"},
        {kThermalGlobal, READ_CRITICAL_LIMIT, 7, {40000}, "LMReadCriticalLimit(#3) sensor 7"},
        {kThermalGlobal, READ_TEMP_STATUS, 1, {40000}, "LMReadTempStatus(#4) sensor 1"},
        {kControllerGlobal, READ_TEMPERATURE, 1, {2000, 2000}, "LMReadTemperature(#5) sensor 1"},
        {kControllerGlobal, READ_WARNING_LIMIT, 1, {}, nullptr},
    };
    setenv("KOVALTHERM_TRACE", "1", 1);
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.mutex) + " " + ExportName(c.id));
        host::ResetMachine();
        ASSERT_TRUE(Attach());
        ASSERT_EQ(LMGetNumSensors(), 3);
        std::string registry = RegistrySnapshot();
        host::ClearWaits();
        host::ClearRequestLog();
        host::ClearDebugStrings();
        Answer a;
        {
            Holder holder(c.mutex);
            a = Invoke(c.id, c.ordinal);
        }
        EXPECT_EQ(a, c.line ? kLockedOut[c.id] : DefaultAnswer(c.id, c.ordinal));
        std::vector<DWORD> waits;
        for (const host::Wait &w : MutexWaits())
            waits.push_back(w.ms);
        EXPECT_EQ(waits, c.waits);
        for (const SimLogEntry &e : host::RequestLog())
            EXPECT_EQ(e.code, (uint32_t)IOCTL_FIRMWARE_REQUEST) << "only the rebuild's";
        bool library = c.mutex == kThermalGlobal;
        if (library) {
            EXPECT_TRUE(host::RequestLog().empty());
            EXPECT_EQ(RegistrySnapshot(), registry);
        }
        std::vector<std::string> lines;
        if (c.line)
            lines.push_back(std::string("kovaltherm: ") + c.line + (library ? thermal : controller));
        EXPECT_EQ(host::DebugStrings(), lines);
        Detach();
    }
    unsetenv("KOVALTHERM_TRACE");
}

// A failing mutex call leaves every answer right, but a failed wait leaves a mutex that exists
// not held: every call then fails as on a timeout.
TEST_F(MachineLockTest, FailingMutexCallsLeaveEveryAnswerRightButAFailedWaitFailsTheCall)
{
    const host::HostFunction functions[] = {host::FN_CREATE_MUTEX, host::FN_OPEN_MUTEX,
                                            host::FN_RELEASE_MUTEX,
                                            host::FN_WAIT_FOR_SINGLE_OBJECT};
    for (host::HostFunction f : functions) {
        for (uint32_t mask : {1u << f, 1u << host::FN_CREATE_MUTEX | 1u << host::FN_OPEN_MUTEX}) {
            host::ResetMachine();
            host::InjectFault(1, host::FaultMode::Persistent, mask);
            ASSERT_TRUE(Attach()) << f;
            for (int e = 0; e < reliability::SHUTDOWN_LIBRARY; ++e)
                for (int i = 0; i < 3; ++i)
                    EXPECT_EQ(Invoke((ExportId)e, i), mask == 1u << host::FN_WAIT_FOR_SINGLE_OBJECT
                                                          ? kLockedOut[e]
                                                          : reliability::DefaultAnswer((ExportId)e, i));
            EXPECT_TRUE(host::FaultFired()) << f;
            Detach();
            EXPECT_EQ(host::OpenHandleCount(), 0) << f;
        }
    }
}

} // namespace
