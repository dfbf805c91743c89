// The notification-area monitor's logic: the icon's face, the tooltip and its shortening, the
// notifications from one reading to the next, the chart's history and scale, and its readings
// through the library's exports, each with the owner's sensor configuration; and the settings
// window's change as the machine's file takes it.
#include <gtest/gtest.h>

#include "tests/support/machine.h"
#include "tools/monitor/model.h"
#include "tools/monitor/owner_settings.h"
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

// `reading` with sensor `ordinal` labelled and given the owner's thresholds and state.
Reading Owned(Reading reading, size_t ordinal, const char *label, int warning, int critical, int state)
{
    SensorReading &s = reading.sensors[ordinal];
    s.label = label;
    s.ownerWarning = warning;
    s.ownerCritical = critical;
    s.ownerState = state;
    return reading;
}

// The steady notebook as examples/sensors.conf shows it: the processor labelled, the chipset
// at 41 °C over the owner's warning of 35, the battery (location 1) ignored.
Reading Configured()
{
    Reading r = Owned(Owned(Sensors({{52, N}, {41, N}}), 0, "CPU", 0, 0, 0), 1, "Chipset", 35, 45, W);
    r.sensors[1].location = 4;
    r.ignored = 1;
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
    Reading ownersWarning = Configured(), ownersNormal = Owned(Sensors({{40, N}, {66, W}}), 1, "GPU", 70, 80, N),
            ownersUnread = Owned(Sensors({{40, N}, {kFailed, N}}), 1, "GPU", 70, 80, 0), allIgnored;
    allIgnored.ignored = 3;
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
        // The owner's limits judge the sensors they are set for.
        {"the owner's warning on a sensor normal to the firmware", &ownersWarning, L"52", 0xffca28, dark, 0xffe79e},
        {"the owner's normal on a sensor warning to the firmware", &ownersNormal, L"66", 0x66bb6a, dark, 0xbae0bc},
        {"the owner's limits without a temperature", &ownersUnread, L"40", 0xbdbdbd, dark, 0xe1e1e1},
        {"every sensor ignored", &allIgnored, L"\u2013", 0xbdbdbd, dark, 0xe1e1e1},
    };
    for (const auto &c : cases) {
        IconFace face = FaceFor(c.reading);
        EXPECT_EQ(face.text, c.text) << c.name;
        EXPECT_EQ(face.background, c.background) << c.name;
        EXPECT_EQ(face.foreground, c.foreground) << c.name;
        EXPECT_EQ(Blend(face.background, 0xffffff, kBandOpacity), c.band) << c.name;
    }
    // The menu says which limits the colour follows.
    Reading both = Owned(Configured(), 0, "CPU", 80, 0, N);
    const struct {
        const Reading *reading;
        const wchar_t *line;
    } menus[] = {
        {nullptr, L"Icon colour: the firmware's limits"},
        {&normal, L"Icon colour: the firmware's limits"},
        {&ownersWarning, L"Icon colour: the owner's limits for Chipset, the firmware's for the rest"},
        {&ownersUnread, L"Icon colour: the owner's limits for GPU, the firmware's for the rest"},
        {&both, L"Icon colour: the owner's limits"},
    };
    for (const auto &m : menus)
        EXPECT_EQ(IconLimitsLine(m.reading), m.line);
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
    Reading configured = Configured(), problem = Configured(), labelledFour = Sensors(std::vector<std::pair<int, int>>(4, {55, N}));
    problem.configProblem = L"sensors.conf line 2: unknown key 'lable'";
    labelledFour.sensors[2].label = "GPU";
    Reading allIgnored;
    allIgnored.ignored = 3;
    const struct {
        const char *name;
        Reading reading;
        std::wstring tip;
    } cases[] = {
        {"labels, and the owner's state where set", configured,
         lines({L"sensor 0 (location 2, CPU) 52 \u00b0C normal",
                L"sensor 1 (location 4, Chipset) 41 \u00b0C warning by the owner's limits"})},
        {"a configuration not valid takes the last line", problem,
         lines({L"sensor 0 (CPU) 52 \u00b0C normal", L"sensor 1 (Chipset) 41 \u00b0C warning by the owner's limits",
                L"Sensor settings not valid: see the window"})},
        {"a label stands for itself in short", labelledFour,
         lines({L"sensor 0 55 \u00b0C normal", L"sensor 1 55 \u00b0C normal", L"sensor 2 (GPU) 55 \u00b0C normal",
                L"sensor 3 55 \u00b0C normal"})},
        {"every sensor ignored", allIgnored, L"Kovaltherm: every sensor is ignored, as the sensor settings say"},
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
    Reading eightLabelled = Sensors(std::vector<std::pair<int, int>>(8, {55, N}));
    eightLabelled.sensors[0].label = "CPU";
    EXPECT_EQ(TooltipFor(&eightLabelled, 24), L"CPU 55 \u00b0C normal\n+7 more");
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
    // The owner's limits, and the configuration's problems.
    Reading configured = Configured(), ownersCritical = Owned(Configured(), 1, "Chipset", 35, 45, C);
    ownersCritical.sensors[1].temperature = 46;
    Reading firmwareWarning = Owned(Sensors({{52, N}, {66, W}}), 1, "GPU", 70, 80, N);
    Reading bad = Configured(), badUnread = unread, allIgnored;
    bad.configProblem = badUnread.configProblem = L"sensors.conf line 2: unknown key 'lable'";
    allIgnored.ignored = 2;
    const std::wstring badLine = L"Sensor settings not valid: sensors.conf line 2: unknown key 'lable'",
                       chipset = L"sensor 1 (location 4, Chipset): 41" + D +
                                 L", warning (owner's limits: warning 35" + D + L", critical 45" + D + L")";
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
        {"the owner's warning at the start", nullptr, &configured, true, NoticeKind::Warning,
         L"sensor 1 (Chipset) warning: 41" + D, chipset + cool},
        {"the owner's warning stays", &configured, &configured, false, NoticeKind::Info, L"", L""},
        {"the owner's critical", &configured, &ownersCritical, true, NoticeKind::Error,
         L"sensor 1 (Chipset) critical: 46" + D,
         L"sensor 1 (location 4, Chipset): 46" + D + L", critical (owner's limits: warning 35" + D + L", critical 45" +
             D + L")" + save},
        {"the firmware's warning under the owner's limits", &normal, &firmwareWarning, false, NoticeKind::Info, L"", L""},
        {"the configuration not valid", &configured, &bad, true, NoticeKind::Warning, L"Sensor settings not valid",
         badLine + L"\nCorrect it, or ask your administrator to."},
        {"not valid at the start", nullptr, &bad, true, NoticeKind::Warning, L"sensor 1 (Chipset) warning: 41" + D,
         L"sensor 1 (location 4, Chipset): 41" + D + L", warning (owner's limits: warning 35" + D + L", critical 45" +
             D + L")\n" + badLine + cool},
        {"still not valid", &bad, &bad, false, NoticeKind::Info, L"", L""},
        {"valid again", &bad, &configured, true, NoticeKind::Info, L"Sensor settings apply again",
         L"Sensor settings valid again: they apply from this reading.\nNothing to do."},
        {"failing and not valid at once", &normal, &badUnread, true, NoticeKind::Error, L"Sensor readings failing",
         L"Readings failing: No temperature from sensor 1.\n" + badLine + wait},
        {"every sensor ignored is no failure", &normal, &allIgnored, false, NoticeKind::Info, L"", L""},
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
    Reading bad = Configured(), allIgnored;
    bad.configProblem = L"sensors.conf line 2: unknown key 'lable'";
    allIgnored.ignored = 2;
    EXPECT_EQ(ConfigLine(&bad), L"Sensor settings not valid: sensors.conf line 2: unknown key 'lable'");
    EXPECT_EQ(ConfigLine(&normal), L"");
    EXPECT_EQ(ConfigLine(nullptr), L"");
    EXPECT_EQ(ReadingsLine(&allIgnored, false, 15000), L"");
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

    // The chart shows the sensors of the last reading that had any: not an ignored one, and
    // those while readings fail; each panel's heading with the label and the owner's state.
    History charted = MakeHistory(10000, 2000);
    Reading middleIgnored = Owned(Sensors({{52, N}, {41, N}, {47, N}}, 1000), 2, "Battery", 40, 0, W);
    middleIgnored.sensors.erase(middleIgnored.sensors.begin() + 1);
    middleIgnored.ignored = 1;
    Record(&charted, middleIgnored);
    EXPECT_EQ(charted.shown, std::vector<int>({0, 2}));
    EXPECT_EQ(charted.sensors[1].count, 0u);
    EXPECT_EQ(charted.sensors[2].label, "Battery");
    none.timeMs = 3000;
    Record(&charted, none);
    EXPECT_EQ(charted.shown, std::vector<int>({0, 2}));
    EXPECT_EQ(charted.sensors[1].count, 0u) << "no failed point for an ignored sensor";
    ASSERT_EQ(charted.sensors[2].count, 2u);
    const struct {
        HistoryPoint point;
        std::wstring heading;
    } headings[] = {
        {PointsSince(charted.sensors[2], 0)[0], L"47 \u00b0C  normal;  warning by the owner's limits (warning 40 \u00b0C)"},
        {PointsSince(charted.sensors[0], 0)[0], L"52 \u00b0C  normal"},
        {PointsSince(charted.sensors[2], 0)[1], L"no reading"},
    };
    for (const auto &h : headings)
        EXPECT_EQ(PanelStatus(h.point), h.heading);
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
        // The owner's thresholds are on the axis too.
        {{[&] {
             HistoryPoint p = point(41, true, 65, 75);
             p.ownerWarning = 20;
             return p;
         }()},
         0, 80, 20},
    };
    for (const auto &c : cases) {
        Scale s = ScaleFor(c.points);
        EXPECT_EQ(s.low, c.low);
        EXPECT_EQ(s.high, c.high);
        EXPECT_EQ(s.step, c.step);
    }
}

// The settings window's change: the fields read as sensors.conf reads them, applied to the
// machine's file beside the policy, and carried to the elevated writer in one argument.
TEST(MonitorSettings, ChangeIsTakenAsTheFileWouldBe)
{
    const std::string file = "[location 2]\nlabel = CPU\n[location 1]\nignore = yes\n[location 4]\nlabel = Chipset\n"
                             "warning = 35\ncritical = 45\n";
    ktsensors::SensorConfig parsed, policy, none;
    std::string error;
    ASSERT_TRUE(ParseSensorConfig(file, "sensors.conf", &parsed, &error)) << error;
    ktsensors::SensorSettings fixed;
    fixed.location = 4;
    fixed.fromPolicy = true;
    fixed.origin = "HKLM\\SOFTWARE\\Policies\\Kovaltherm\\Sensors\\Location 4";
    policy.sensors.push_back(fixed);
    std::vector<SettingsRow> rows(2);
    rows[0].location = 2, rows[0].label = "CPU";
    rows[1].location = 4, rows[1].label = "Chipset", rows[1].warning = 35, rows[1].critical = 45, rows[1].fixed = true;
    const struct {
        const char *name;
        RowFields typed;             // location 2's fields; location 4's are changed too, but fixed
        const ktsensors::SensorConfig *policy;
        std::string problem;         // "" when saved
        std::string argument, saved; // the writer's argument, and the file it writes
    } cases[] = {
        {"nothing changed", {" CPU ", "", ""}, &none, "", "", ""},
        {"a label and a warning", {"Processor", "80", ""}, &none, "", "[location 2]|label = Processor|warning = 80",
         "[location 1]\nignore = yes\n\n[location 2]\nlabel = Processor\nwarning = 80\n\n[location 4]\nlabel = Chipset\n"
         "warning = 35\ncritical = 45\n"},
        {"everything emptied drops the section", {"", "", ""}, &none, "", "[location 2]",
         "[location 1]\nignore = yes\n\n[location 4]\nlabel = Chipset\nwarning = 35\ncritical = 45\n"},
        {"not a number", {"CPU", "8O", ""}, &none,
         "location 2: warning: expected whole degrees Celsius from 1 to 255, or nothing for none, got '8O'", "", ""},
        {"out of range", {"CPU", "", "256"}, &none,
         "location 2: critical: expected whole degrees Celsius from 1 to 255, or nothing for none, got '256'", "", ""},
        {"critical not above warning", {"CPU", "50", "50"}, &none,
         "location 2: the critical threshold (50) must be above the warning one (50)", "", ""},
        {"a character no output can carry", {"C|PU", "", ""}, &none,
         "location 2: a label may not hold any of \"'\\=|, got 'C|PU'", "", ""},
        {"a line break", {"CPU\nignore = yes", "", ""}, &none, "location 2: a label may not hold control characters", "",
         ""},
        {"a label another sensor has", {"Chipset", "", ""}, &none,
         "the label 'Chipset' is given to location 2 (the settings window) and to location 4 (sensors.conf line 5)",
         "[location 2]|label = Chipset", ""},
        {"a location the policy fixes", {"CPU", "", ""}, &policy, "", "", ""},
    };
    for (const auto &c : cases) {
        std::vector<RowFields> fields = {c.typed, {"Changed", "", ""}};
        ktsensors::SensorConfig change, applied, carried;
        std::string problem;
        bool ok = CollectChange(rows, fields, &change, &problem);
        if (ok) {
            EXPECT_EQ(ChangeArgument(change), c.argument) << c.name;
            ASSERT_TRUE(ParseChangeArgument(ChangeArgument(change), &carried, &problem)) << c.name << ": " << problem;
            ok = ApplySensorChange(parsed, *c.policy, carried, &applied, &problem);
        }
        EXPECT_EQ(ok ? "" : problem, c.problem) << c.name;
        std::string text = ktsensors::FormatSensorConfig(applied);
        if (ok && !c.saved.empty()) {
            EXPECT_EQ(text.substr(text.find('[')), c.saved) << c.name;
        }
    }
    // The writer refuses what the window never sends.
    ktsensors::SensorConfig change, applied;
    const struct {
        std::string argument, problem;
    } refused[] = {
        {"[location 4]|label = Mine", ""},
        {"[location 2]|lable = CPU", "the change, line 2: unknown key 'lable' (expected label, ignore, warning or critical)"},
        {"[location 2]\nlabel = CPU", "the change must be one line"},
        {"[location 1]|ignore = no", ""},
    };
    for (const auto &r : refused) {
        bool read = ParseChangeArgument(r.argument, &change, &error);
        EXPECT_EQ(read ? "" : error, r.problem) << r.argument;
    }
    ASSERT_TRUE(ParseChangeArgument("[location 4]|label = Mine", &change, &error));
    EXPECT_FALSE(ApplySensorChange(parsed, policy, change, &applied, &error));
    EXPECT_EQ(error, "location 4 is set by Group Policy (HKLM\\SOFTWARE\\Policies\\Kovaltherm\\Sensors\\Location 4), "
                     "which only your administrator changes");
    ASSERT_TRUE(ParseChangeArgument("[location 1]|ignore = yes", &change, &error));
    EXPECT_FALSE(ApplySensorChange(parsed, none, change, &applied, &error));
    EXPECT_EQ(error, "the change may set labels and thresholds only, not ignore (location 1)");
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
        Reading reading = TakeReading(exports_, config_, &state_, [] { return false; });
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
    ktsensors::SensorConfig config_;
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

// The owner's configuration applied from each sensor's location: an ignored sensor costs no
// call but its location's, the others are labelled, and the owner's state carries from one
// reading to the next (down a level only 2 °C below the threshold it crossed).
namespace counted {
int calls[10];
int KOVALTHERM_CDECL Temperature(int ordinal, int *out)
{
    ++calls[ordinal & 7];
    return LMReadTemperature(ordinal, out);
}
int KOVALTHERM_CDECL Warning(int ordinal, int *out)
{
    ++calls[ordinal & 7];
    return LMReadWarningLimit(ordinal, out);
}
int KOVALTHERM_CDECL Status(int ordinal, int *out)
{
    ++calls[ordinal & 7];
    return LMReadTempStatus(ordinal, out);
}
} // namespace counted

TEST_F(MonitorReading, AppliesTheOwnersConfiguration)
{
    std::string error;
    ASSERT_TRUE(ParseSensorConfig("[location 2]\nlabel = CPU\n[location 1]\nignore = yes\n[location 4]\nlabel = Chipset\n"
                                  "warning = 35\ncritical = 45\n",
                                  "sensors.conf", &config_, &error))
        << error;
    exports_.ReadTemperature = counted::Temperature;
    exports_.ReadWarningLimit = counted::Warning;
    exports_.ReadTempStatus = counted::Status;
    const struct {
        int chipset;           // °C
        std::string state;     // the chipset's owner's state
    } steps[] = {{41, "warning"}, {45, "critical"}, {44, "critical"}, {43, "warning"}, {34, "warning"}, {33, "normal"}};
    for (const auto &step : steps) {
        Scenario([&](SimConfig &c) { SimSetTemperature(&c, 1, step.chipset); });
        Reading reading = TakeReading(exports_, config_, &state_, [] { return false; });
        ASSERT_EQ(reading.sensors.size(), 2u) << step.chipset;
        EXPECT_EQ(reading.ignored, 1);
        EXPECT_EQ(reading.sensors[0].label + "/" + reading.sensors[1].label, "CPU/Chipset");
        EXPECT_EQ(reading.sensors[0].ownerState, ktsensors::kOwnerNone);
        EXPECT_EQ(ktsensors::OwnerStateName(reading.sensors[1].ownerState), step.state) << step.chipset << " °C";
    }
    EXPECT_EQ(counted::calls[2], 0) << "calls for the ignored sensor 2 (location 1)";
    EXPECT_GT(counted::calls[1], 0);
    // No longer ignored: read with its limits at the next reading.
    config_ = ktsensors::SensorConfig();
    EXPECT_EQ(Take(), "2:52:90/98 4:33:65/75 1:47:75/90");
}

} // namespace
