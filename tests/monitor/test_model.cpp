// The notification-area monitor's logic: the icon's face, the tooltip and its shortening, the
// notifications from one reading to the next, the chart's history and scale, and its readings
// through the library's exports.
#include <gtest/gtest.h>

#include "tests/support/machine.h"
#include "tools/monitor/model.h"
#include "tools/monitor/reading.h"

using namespace monitor;

namespace {

const int N = KOVALTHERM_STATUS_NORMAL, W = KOVALTHERM_STATUS_WARNING, C = KOVALTHERM_STATUS_CRITICAL,
          NONE = KOVALTHERM_STATUS_NONE;
const int kFailed = -1000; // a temperature that could not be read

// Sensor `ordinal` at location 2 (sensor 0's limits on the steady notebook: 90 and 98).
SensorReading Sensor(int ordinal, int celsius, int status)
{
    SensorReading s;
    s.ordinal = ordinal;
    s.haveLocation = true;
    s.location = 2;
    s.haveWarning = s.haveCritical = true;
    s.warningLimit = 90;
    s.criticalLimit = 98;
    s.haveTemperature = celsius != kFailed;
    s.temperature = s.haveTemperature ? celsius : KOVALTHERM_NO_TEMPERATURE;
    s.haveStatus = s.haveTemperature;
    s.status = s.haveTemperature ? status : NONE;
    return s;
}

// A reading of sensors 0, 1, ... with these temperatures and statuses.
Reading Sensors(std::vector<std::pair<int, int>> sensors, uint64_t timeMs = 0)
{
    Reading r;
    r.timeMs = timeMs;
    for (size_t i = 0; i < sensors.size(); ++i)
        r.sensors.push_back(Sensor((int)i, sensors[i].first, sensors[i].second));
    return r;
}

Reading NotLoaded()
{
    Reading r;
    r.problem = Problem::NotLoaded;
    r.detail = L"C:\\Monitor\\Kovaltherm.dll is missing";
    return r;
}

// The icon's face, and the chart's band in the icon's colour.
TEST(MonitorModel, IconShowsTheHottestOnTheWorstStatus)
{
    const uint32_t dark = 0x212121, light = 0xffffff;
    Reading notLoaded = NotLoaded(), noSensors;
    noSensors.problem = Problem::NoSensors;
    Reading normal = Sensors({{52, N}, {61, N}, {47, N}}), warning = Sensors({{70, N}, {66, W}}),
            critical = Sensors({{99, C}, {66, W}}), implausible = Sensors({{150, NONE}, {40, N}}),
            unread = Sensors({{kFailed, N}, {44, N}}), unreadWarning = Sensors({{kFailed, N}, {64, W}}),
            nothing = Sensors({{kFailed, N}, {kFailed, N}});
    const struct {
        const char *name;
        const Reading *reading;
        const wchar_t *text;
        uint32_t background, foreground;
        uint32_t band; // the chart's band in that colour: --plot's, 45 % over white
    } cases[] = {
        {"no current reading", nullptr, L"\u2026", 0xbdbdbd, dark, 0xe1e1e1},
        {"all normal", &normal, L"61", 0x66bb6a, dark, 0xbae0bc},
        {"a cooler sensor warns", &warning, L"70", 0xffca28, dark, 0xffe79e},
        {"critical beats warning", &critical, L"99", 0xef5350, light, 0xf8b2b0},
        {"no status beats normal", &implausible, L"150", 0xbdbdbd, dark, 0xe1e1e1},
        {"one sensor unread", &unread, L"44", 0xbdbdbd, dark, 0xe1e1e1},
        {"warning beats an unread sensor", &unreadWarning, L"64", 0xffca28, dark, 0xffe79e},
        {"no sensor read", &nothing, L"!", 0x616161, light, 0xb8b8b8},
        {"the library did not load", &notLoaded, L"!", 0x616161, light, 0xb8b8b8},
        {"the library reports no sensor", &noSensors, L"!", 0x616161, light, 0xb8b8b8},
    };
    for (const auto &c : cases) {
        IconFace face = FaceFor(c.reading);
        EXPECT_EQ(face.text, c.text) << c.name;
        EXPECT_EQ(face.background, c.background) << c.name;
        EXPECT_EQ(face.foreground, c.foreground) << c.name;
        EXPECT_EQ(Blend(face.background, 0xffffff, kBandOpacity), c.band) << c.name;
    }
}

TEST(MonitorModel, TooltipIsShortenedToTheNotificationAreasLimit)
{
    const wchar_t *const D = L"\u00b0C";
    auto lines = [](std::initializer_list<std::wstring> parts) {
        std::wstring text;
        for (const std::wstring &part : parts)
            text += (text.empty() ? L"" : L"\n") + part;
        return text;
    };
    Reading three = Sensors({{52, N}, {41, N}, {47, N}});
    three.sensors[1].location = 4;
    three.sensors[2].location = 1;
    Reading eightWarm = Sensors({{50, N}, {51, N}, {52, N}, {53, N}, {54, N}, {55, N}, {56, N}, {57, W}});
    Reading twelve = Sensors({{40, N}, {41, N}, {42, N}, {43, N}, {44, N}, {45, N}, {46, N}, {47, N}, {48, N},
                              {49, N}, {99, C}, {kFailed, N}});
    std::vector<std::pair<int, int>> eightNormal(8, {55, N});
    Reading noLocation = Sensors({{55, N}});
    noLocation.sensors[0].haveLocation = false;
    Reading notLoaded = NotLoaded();
    const struct {
        const char *name;
        Reading reading;
        std::wstring tip;
    } cases[] = {
        {"a line per sensor", three,
         lines({L"sensor 0 (location 2) 52 " + std::wstring(D) + L" normal",
                L"sensor 1 (location 4) 41 " + std::wstring(D) + L" normal",
                L"sensor 2 (location 1) 47 " + std::wstring(D) + L" normal"})},
        {"an unread sensor", Sensors({{kFailed, N}}), L"sensor 0 (location 2) no reading"},
        {"no location", noLocation, L"sensor 0 55 " + std::wstring(D) + L" normal"},
        {"four sensors drop the locations", Sensors(std::vector<std::pair<int, int>>(4, {55, N})),
         lines({L"sensor 0 55 \u00b0C normal", L"sensor 1 55 \u00b0C normal", L"sensor 2 55 \u00b0C normal",
                L"sensor 3 55 \u00b0C normal"})},
        {"eight sensors fit exactly as #N", Sensors(eightNormal),
         lines({L"#0 55 \u00b0C normal", L"#1 55 \u00b0C normal", L"#2 55 \u00b0C normal", L"#3 55 \u00b0C normal",
                L"#4 55 \u00b0C normal", L"#5 55 \u00b0C normal", L"#6 55 \u00b0C normal", L"#7 55 \u00b0C normal"})},
        {"one character more leaves out the coolest", eightWarm,
         lines({L"#1 51 \u00b0C normal", L"#2 52 \u00b0C normal", L"#3 53 \u00b0C normal", L"#4 54 \u00b0C normal",
                L"#5 55 \u00b0C normal", L"#6 56 \u00b0C normal", L"#7 57 \u00b0C warning", L"+1 more"})},
        {"twelve sensors: the hottest, unread ones last", twelve,
         lines({L"#4 44 \u00b0C normal", L"#5 45 \u00b0C normal", L"#6 46 \u00b0C normal", L"#7 47 \u00b0C normal",
                L"#8 48 \u00b0C normal", L"#9 49 \u00b0C normal", L"#10 99 \u00b0C critical", L"+5 more"})},
        {"the library did not load", notLoaded, L"Kovaltherm: no readings: C:\\Monitor\\Kovaltherm.dll is missing"},
    };
    for (const auto &c : cases) {
        std::wstring tip = TooltipFor(&c.reading);
        EXPECT_EQ(tip, c.tip) << c.name;
        EXPECT_LE(tip.size(), 127u) << c.name;
    }
    std::wstring longest = TooltipFor(&notLoaded, 20);
    EXPECT_EQ(longest, L"Kovaltherm: no read\u2026");
}

TEST(MonitorModel, NotificationsComeWhenSomethingChanges)
{
    Reading normal = Sensors({{52, N}, {41, N}});
    Reading warning = Sensors({{89, W}, {41, N}});
    Reading critical = Sensors({{99, C}, {41, N}});
    Reading both = Sensors({{99, C}, {66, W}});
    Reading implausible = Sensors({{150, NONE}, {41, N}});
    Reading unread = Sensors({{52, N}, {kFailed, N}});
    Reading nothing = Sensors({{kFailed, N}, {kFailed, N}});
    Reading warningAgain = Sensors({{90, W}, {kFailed, N}});
    Reading notLoaded = NotLoaded();
    const std::wstring D = L" \u00b0C";
    const std::wstring limits = L" (limits: warning 90" + D + L", critical 98" + D + L")";
    const std::wstring cool = L"\nClose demanding programs and keep the vents free.",
                       save = L"\nSave your work now and let the notebook cool.",
                       wait = L"\nThe monitor keeps trying; if this lasts, restart the notebook.",
                       reinstall = L"\nReinstall Kovaltherm; the monitor keeps trying.";
    Reading eightCritical = Sensors(std::vector<std::pair<int, int>>(8, {99, C}));
    const struct {
        const char *name;
        const Reading *previous;
        const Reading *current;
        bool due;
        NoticeKind kind;
        std::wstring title, text;
    } cases[] = {
        {"all normal at the start", nullptr, &normal, false, NoticeKind::Info, L"", L""},
        {"warning at the start", nullptr, &warning, true, NoticeKind::Warning, L"sensor 0 warning: 89" + D,
         L"sensor 0 (location 2): 89" + D + L", warning" + limits + cool},
        {"normal to critical", &normal, &critical, true, NoticeKind::Error, L"sensor 0 critical: 99" + D,
         L"sensor 0 (location 2): 99" + D + L", critical" + limits + save},
        {"warning to critical", &warning, &critical, true, NoticeKind::Error, L"sensor 0 critical: 99" + D,
         L"sensor 0 (location 2): 99" + D + L", critical" + limits + save},
        {"warning stays", &warning, &warning, false, NoticeKind::Info, L"", L""},
        {"critical to warning", &critical, &warning, false, NoticeKind::Info, L"", L""},
        {"critical to normal", &critical, &normal, false, NoticeKind::Info, L"", L""},
        {"no status to warning", &implausible, &warning, true, NoticeKind::Warning, L"sensor 0 warning: 89" + D,
         L"sensor 0 (location 2): 89" + D + L", warning" + limits + cool},
        {"two at once", &normal, &both, true, NoticeKind::Error, L"sensor 0 critical: 99" + D + L" (+1 more)",
         L"sensor 0 (location 2): 99" + D + L", critical" + limits + L"\nsensor 1 (location 2): 66" + D +
             L", warning" + limits + save},
        {"a sensor unread", &normal, &unread, true, NoticeKind::Error, L"Sensor readings failing",
         L"Readings failing: No temperature from sensor 1." + wait},
        {"still failing", &unread, &nothing, false, NoticeKind::Info, L"", L""},
        {"back", &nothing, &normal, true, NoticeKind::Info, L"Sensor readings back",
         L"Readings back: all 2 sensors read again.\nNothing to do."},
        {"the library gone", &normal, &notLoaded, true, NoticeKind::Error, L"Sensor readings failing",
         L"Readings failing: C:\\Monitor\\Kovaltherm.dll is missing" + reinstall},
        {"no library from the start", nullptr, &notLoaded, true, NoticeKind::Error, L"Sensor readings failing",
         L"Readings failing: C:\\Monitor\\Kovaltherm.dll is missing" + reinstall},
        {"warning while another sensor fails", &nothing, &warningAgain, true, NoticeKind::Warning,
         L"sensor 0 warning: 90" + D, L"sensor 0 (location 2): 90" + D + L", warning" + limits + cool},
        // What happened is cut to leave the action whole.
        {"eight at once", &normal, &eightCritical, true, NoticeKind::Error, L"sensor 0 critical: 99" + D + L" (+7 more)",
         L"sensor 0 (location 2): 99" + D + L", critical" + limits + L"\nsensor 1 (location 2): 99" + D +
             L", critical" + limits + L"\nsensor 2 (location 2): 99" + D + L", critical (limits: wa\u2026" + save},
    };
    for (const auto &c : cases) {
        Notice notice;
        ASSERT_EQ(NoticeFor(c.previous, *c.current, &notice), c.due) << c.name;
        if (!c.due)
            continue;
        EXPECT_EQ(notice.kind, c.kind) << c.name;
        EXPECT_EQ(notice.title, c.title) << c.name;
        EXPECT_EQ(notice.text, c.text) << c.name;
        EXPECT_LE(notice.text.size(), 255u) << c.name;
    }
}

TEST(MonitorModel, WindowSaysWhyReadingsFailOrThatOneIsAwaited)
{
    Reading normal = Sensors({{52, N}}), unread = Sensors({{kFailed, N}}), notLoaded = NotLoaded();
    const struct {
        const Reading *latest;
        bool overdue;
        std::wstring line;
    } cases[] = {
        {nullptr, false, L"Waiting for the first reading."},
        {&normal, false, L""},
        {&unread, false, L"Readings failing: No temperature from sensor 0."},
        {&notLoaded, false, L"Readings failing: C:\\Monitor\\Kovaltherm.dll is missing"},
        {&normal, true, L"Waiting for a reading: none for more than 15 s; the chart ends at the last one."},
        {&unread, true, L"Waiting for a reading: none for more than 15 s; the chart ends at the last one."},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ReadingsLine(c.latest, c.overdue, 15000), c.line);
}

TEST(MonitorModel, HistoryKeepsTheLastPointsOfEachSensor)
{
    History history = MakeHistory(10000, 2000); // 5 intervals: room for 7 points
    for (uint64_t t = 1000; t <= 10000; t += 1000)
        Record(&history, Sensors({{(int)(t / 1000), N}, {kFailed, N}}, t));
    Reading none = NotLoaded();
    none.timeMs = 11000;
    Record(&history, none);
    // Ordinals past the nine the library can map (a damaged cache's count) keep no history.
    Reading beyond = Sensors({});
    for (int ordinal : {9, 0x7FFFFFFE})
        beyond.sensors.push_back(Sensor(ordinal, 50, N));
    Record(&history, beyond);
    ASSERT_EQ(history.sensors.size(), 2u);
    const struct {
        int sensor;
        uint64_t from;
        std::vector<uint64_t> times;
    } cases[] = {
        {0, 0, {5000, 6000, 7000, 8000, 9000, 10000, 11000}},
        {0, 8000, {9000, 10000, 11000}},
        {1, 10500, {11000}},
        {1, 11000, {}},
    };
    for (const auto &c : cases) {
        std::vector<HistoryPoint> points = PointsSince(history.sensors[c.sensor], c.from);
        std::vector<uint64_t> times;
        for (const HistoryPoint &p : points)
            times.push_back(p.timeMs);
        EXPECT_EQ(times, c.times) << "sensor " << c.sensor << " from " << c.from;
    }
    std::vector<HistoryPoint> last = PointsSince(history.sensors[0], 9500);
    ASSERT_EQ(last.size(), 2u);
    EXPECT_TRUE(last[0].haveTemperature && !last[0].failed && last[0].temperature == 10);
    EXPECT_TRUE(!last[1].haveTemperature && last[1].failed) << "a reading without the library";
    EXPECT_TRUE(PointsSince(history.sensors[1], 9500)[0].failed) << "an unread sensor";
}

TEST(MonitorModel, ScaleCoversTemperaturesAndLimitsInAFewTicks)
{
    auto point = [](int t, bool limits, int warning, int critical) {
        HistoryPoint p;
        p.haveTemperature = true;
        p.temperature = t;
        p.haveWarning = p.haveCritical = limits;
        p.warningLimit = warning;
        p.criticalLimit = critical;
        return p;
    };
    const struct {
        std::vector<HistoryPoint> points;
        int low, high, step;
    } cases[] = {
        {{}, 0, 100, 20},
        {{point(52, true, 90, 98)}, 40, 120, 20},
        {{point(41, true, 65, 75), point(58, true, 65, 75)}, 30, 80, 10},
        {{point(3, false, 0, 0)}, 0, 8, 2},
        {{point(250, true, 255, 255)}, 245, 260, 5},
        // Limits no firmware gives, from a damaged cache, are left out.
        {{point(52, true, 0x7FFFFFC6, 98)}, 40, 120, 20},
        {{point(52, true, -5, 98)}, 40, 120, 20},
    };
    for (const auto &c : cases) {
        Scale s = ScaleFor(c.points);
        EXPECT_EQ(s.low, c.low);
        EXPECT_EQ(s.high, c.high);
        EXPECT_EQ(s.step, c.step);
    }
}

// The monitor's readings through the library itself, on the simulated default notebook
// (sensors 0, 1 and 3: locations 2, 4, 1; 52, 41, 47 °C).
class MonitorReading : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        Scenario([](SimConfig &) {});
        ASSERT_TRUE(Attach());
    }

    // "location:temperature:warning/critical" per sensor.
    std::string Take()
    {
        Reading reading = TakeReading(exports_, &state_, [] { return false; });
        std::string text = reading.problem == Problem::None ? "" : "no sensors";
        for (const SensorReading &s : reading.sensors)
            text += (text.empty() ? "" : " ") + std::to_string(s.location) + ":" +
                    (s.haveTemperature ? std::to_string(s.temperature) : "--") + ":" +
                    std::to_string(s.warningLimit) + "/" + std::to_string(s.criticalLimit);
        return text;
    }

    ktsensors::Exports exports_ = {LMGetNumSensors,     LMGetSensorLocation, LMReadTemperature, LMReadWarningLimit,
                                   LMReadCriticalLimit, LMReadTempStatus,    ShutdownLibrary};
    ReadingState state_;
};

TEST_F(MonitorReading, ShowsWhatTheLibraryNowReportsAtTheNextReading)
{
    const std::string steady = "2:52:90/98 4:41:65/75 1:47:75/90";
    const struct {
        const char *name;
        std::function<void()> change;
        std::string next;
    } cases[] = {
        {"nothing changed", [] {}, steady},
        // The first call past the three sensors rebuilds the cache; the reading starts again.
        {"a count of 2^31 - 1", [] { host::SetDword(kThermalPath, "Number of sensors", 0x7FFFFFFF); }, steady},
        {"a count of 12", [] { host::SetDword(kThermalPath, "Number of sensors", 12); }, steady},
        // Another notebook of as many sensors (0, 2, 3), its cache built by another program.
        {"another notebook",
         [this] {
             Scenario([](SimConfig &c) {
                 c.presence = 0x0D;
                 SimSetLimits(&c, 2, 55, 66, 70, 77);
             });
             host::Registry().DeleteKey(kThermalPath);
             LMGetNumSensors();
         },
         "2:52:90/98 5:30:66/77 1:47:75/90"},
    };
    for (const auto &c : cases) {
        state_ = ReadingState();
        ASSERT_EQ(Take(), steady) << c.name;
        c.change();
        EXPECT_EQ(Take(), c.next) << c.name;
        EXPECT_EQ(Dword(kThermalPath, "Number of sensors"), 3) << c.name;
        Scenario([](SimConfig &) {});
        host::Registry().DeleteKey(kThermalPath);
    }
}

} // namespace
