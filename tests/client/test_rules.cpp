// The rules every front end shares, run on the host: the textfile's path the service can write,
// the address the service listens at with its http.sys URL, its command line and its interval.
#include <gtest/gtest.h>

#include <string>

#include "interval_rules.h"
#include "listen_rules.h"
#include "service_rules.h"

namespace {

TEST(ServiceRules, TextfilePathsTheServiceCanWrite)
{
    struct Case {
        const wchar_t *path;
        KtPathProblem expected;
    };
    const std::wstring longest = L"C:\\" + std::wstring(251, L'a') + L".prom"; // 259 characters
    const std::wstring tooLong = L"C:\\" + std::wstring(252, L'a') + L".prom";
    const Case cases[] = {
        {L"C:\\Program Files\\windows_exporter\\textfile_inputs\\kovaltherm.prom", KT_PATH_OK},
        {L"d:\\\x03A9mega\\\x65E5\x672C\\x.PROM", KT_PATH_OK},
        {longest.c_str(), KT_PATH_OK},
        {tooLong.c_str(), KT_PATH_TOO_LONG},
        {L"kovaltherm.prom", KT_PATH_NOT_FULL},
        {L"\\\\server\\share\\kovaltherm.prom", KT_PATH_NOT_FULL},
        {L"C:kovaltherm.prom", KT_PATH_NOT_FULL},
        {L"C:\\%OS%\\kovaltherm.prom", KT_PATH_REFUSED},
        {L"C:\\a\"b\\kovaltherm.prom", KT_PATH_REFUSED},
        {L"C:\\a/b\\kovaltherm.prom", KT_PATH_REFUSED},
        {L"C:\\a\\k:stream.prom", KT_PATH_REFUSED},
        {L"C:\\a\tb\\kovaltherm.prom", KT_PATH_REFUSED},
        {L"C:\\a\\\\kovaltherm.prom", KT_PATH_BAD_NAME},
        {L"C:\\a\\..\\kovaltherm.prom", KT_PATH_BAD_NAME},
        {L"C:\\a \\kovaltherm.prom", KT_PATH_BAD_NAME},
        {L"C:\\a\\kovaltherm.prom.", KT_PATH_BAD_NAME},
        {L"C:\\a\\kovaltherm.txt", KT_PATH_NOT_PROM},
        {L"C:\\a\\.prom", KT_PATH_NOT_PROM},
        {L"C:\\a\\kovaltherm.prom\\", KT_PATH_BAD_NAME},
        {L"C:\\a.prom\\hosts", KT_PATH_NOT_PROM},
        // Windows opens these names as devices, whatever their ending, in any folder.
        {L"C:\\ktmsi\\COM1.prom", KT_PATH_DEVICE},
        {L"C:\\ktmsi\\lpt9.prom", KT_PATH_DEVICE},
        {L"C:\\ktmsi\\Con.x.prom", KT_PATH_DEVICE},
        {L"C:\\ktmsi\\nul .prom", KT_PATH_DEVICE},
        {L"C:\\ktmsi\\CONOUT$.prom", KT_PATH_DEVICE},
        {L"C:\\ktmsi\\COM\x00B9.prom", KT_PATH_DEVICE},
        {L"C:\\aux\\kovaltherm.prom", KT_PATH_DEVICE},
        {L"C:\\ktmsi\\COM10.prom", KT_PATH_OK},
        {L"C:\\ktmsi\\console.prom", KT_PATH_OK},
        {L"C:\\ktmsi\\nul1.prom", KT_PATH_OK},
    };
    for (const Case &c : cases)
        EXPECT_EQ(KtTextfilePathProblem(c.path), c.expected) << std::string(c.path, c.path + wcslen(c.path));
    // A device's name is found in a path that is not full too (made full, COM1.prom is \\.\COM1).
    for (const wchar_t *device : {L"COM1.prom", L"lpt1", L"x\\PRN.prom", L"C:NUL.prom"})
        EXPECT_TRUE(KtNamesDevice(device)) << std::string(device, device + wcslen(device));
    for (const wchar_t *file : {L"COM10.prom", L"x\\PRNT.prom", L"C:\\con\u00e9.prom"})
        EXPECT_FALSE(KtNamesDevice(file)) << std::string(file, file + wcslen(file));
}

// The sensor configuration's path as --install-service --config and the MSI's CONFIG_FILE take
// it: the textfile's rules but for the ending.
TEST(ServiceRules, ConfigurationPathsTheServiceCanRead)
{
    const std::pair<const wchar_t *, KtPathProblem> cases[] = {
        {L"C:\\ProgramData\\Kovaltherm\\sensors.conf", KT_PATH_OK},
        {L"D:\\config\\sensors", KT_PATH_OK},
        {L"sensors.conf", KT_PATH_NOT_FULL},
        {L"C:\\%ProgramData%\\Kovaltherm\\sensors.conf", KT_PATH_REFUSED},
        {L"C:\\a\" --output \"C:\\b.prom", KT_PATH_REFUSED},
        {L"C:\\a\\sensors.conf\\", KT_PATH_BAD_NAME},
        {L"C:\\a\\sensors.conf.", KT_PATH_BAD_NAME},
    };
    for (const auto &c : cases)
        EXPECT_EQ(KtConfigPathProblem(c.first), c.second) << std::string(c.first, c.first + wcslen(c.first));
}

// What the MSI's LISTEN and --listen give the service, and the URL http.sys reserves for it
// (http.sys's "+" takes every address). The refusals are --listen's (test_hostile_input.cpp).
TEST(ServiceRules, AListenAddressGivesItsUrl)
{
    struct Case {
        const char *listen;
        const char *host; // "" when only a port is given
        int port;
        const char *url;
    };
    const Case cases[] = {
        {"0.0.0.0:9757", "0.0.0.0", 9757, "http://+:9757/"},
        {"[::]:9757", "::", 9757, "http://+:9757/"},
        {"127.0.0.1:1", "127.0.0.1", 1, "http://127.0.0.1:1/"},
        {"10.20.30.255:65535", "10.20.30.255", 65535, "http://10.20.30.255:65535/"},
        {"[::1]:9101", "::1", 9101, "http://[::1]:9101/"},
        {"[fe80::1:2]:80", "fe80::1:2", 80, "http://[fe80::1:2]:80/"},
        {"[::ffff:192.0.2.1]:80", "::ffff:192.0.2.1", 80, "http://[::ffff:192.0.2.1]:80/"},
        {"[1:2:3:4:5:6:7:8]:80", "1:2:3:4:5:6:7:8", 80, "http://[1:2:3:4:5:6:7:8]:80/"},
        {"9101", "", 9101, nullptr},
    };
    for (const Case &c : cases) {
        char host[KT_LISTEN_HOST_MAX] = "unset", url[128];
        int port = -1;
        ASSERT_TRUE(KtParseListen(c.listen, host, &port)) << c.listen;
        EXPECT_STREQ(host, c.host) << c.listen;
        EXPECT_EQ(port, c.port) << c.listen;
        if (c.url) {
            KtListenUrl(host, port, url, sizeof url);
            EXPECT_STREQ(url, c.url) << c.listen;
        }
    }
    for (const char *refused : {"[1:2:3:4:5:6:7:8:9]:80", "[1:2:3:4:5:6:7]:80", "[::1::]:80", "256.0.0.1:80", "1.2.3:80",
                                "[12345::1]:80", "[::g]:80", "1.2.3.4:123456", "1.2.3.4:-1"}) {
        char host[KT_LISTEN_HOST_MAX];
        int port;
        EXPECT_FALSE(KtParseListen(refused, host, &port)) << refused;
    }
}

// The command line both installers give the service, as the service manager shows it.
TEST(ServiceRules, TheServiceCommandLineQuotesEveryPath)
{
    struct Case {
        const wchar_t *seconds, *textfile, *scenario, *listen, *config;
        const wchar_t *line;
    };
    const wchar_t *program = L"C:\\Program Files\\Kovaltherm\\ktsensors.exe";
    const Case cases[] = {
        {L"30", L"C:\\Program Files\\windows_exporter\\textfile_inputs\\kovaltherm.prom", nullptr, nullptr, nullptr,
         L"\"C:\\Program Files\\Kovaltherm\\ktsensors.exe\" --service --watch 30 --output "
         L"\"C:\\Program Files\\windows_exporter\\textfile_inputs\\kovaltherm.prom\""},
        {L"0.5", L"C:\\k.prom", L"C:\\scenarios\\heat cycle.json", L"[::1]:9757", L"C:\\Sensor Settings\\sensors.conf",
         L"\"C:\\Program Files\\Kovaltherm\\ktsensors.exe\" --service --watch 0.5 --output \"C:\\k.prom\" "
         L"--scenario \"C:\\scenarios\\heat cycle.json\" --listen [::1]:9757 --config \"C:\\Sensor Settings\\sensors.conf\""},
        {L"1", L"C:\\k.prom", nullptr, L"9757", nullptr,
         L"\"C:\\Program Files\\Kovaltherm\\ktsensors.exe\" --service --watch 1 --output \"C:\\k.prom\" --listen 9757"},
    };
    for (const Case &c : cases) {
        wchar_t line[512];
        EXPECT_EQ(KtServiceCommandLine(line, 512, program, c.seconds, c.textfile, c.scenario, c.listen, c.config), wcslen(c.line));
        EXPECT_EQ(std::wstring(line), std::wstring(c.line));
        // One character short of room for the final null: nothing is written.
        EXPECT_EQ(KtServiceCommandLine(line, wcslen(c.line), program, c.seconds, c.textfile, c.scenario, c.listen,
                                       c.config), 0u);
    }
}

// Seconds as the clock's milliseconds, to the nearest.
TEST(ServiceRules, IntervalsBecomeWholeMilliseconds)
{
    const std::pair<double, unsigned long long> cases[] = {
        {0.001, 1}, {0.0014, 1}, {0.0016, 2}, {0.5, 500}, {30, 30000}, {86400, 86400000},
    };
    for (const auto &c : cases)
        EXPECT_EQ(KtIntervalMs(c.first), c.second) << c.first;
}

} // namespace
