// --dump-registry's REGEDIT4 text for every value type and for nested keys.
#include <gtest/gtest.h>

#include "regedit.h"

namespace {

using ktsensors::RegEntry;
using ktsensors::RegKey;

std::vector<uint8_t> Bytes(size_t count, uint8_t first = 1)
{
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < count; ++i)
        bytes.push_back((uint8_t)(first + i));
    return bytes;
}

TEST(Regedit4, WritesEachValueTypeAsRegeditDoes)
{
    struct Case {
        RegEntry value;
        std::string line;
    };
    const Case cases[] = {
        {{"Number of sensors", 4, {3, 0, 0, 0}}, "\"Number of sensors\"=dword:00000003\n"},
        {{"Negative", 4, {0xFF, 0xFF, 0xFF, 0xFF}}, "\"Negative\"=dword:ffffffff\n"},
        {{"Short dword", 4, {1, 2}}, "\"Short dword\"=hex(4):01,02\n"},
        {{"", 1, {'x', 0}}, "@=\"x\"\n"},
        {{"Path \"quoted\"", 1, {'C', ':', '\\', 'a', 0}}, "\"Path \\\"quoted\\\"\"=\"C:\\\\a\"\n"},
        {{"Two strings", 1, {'a', 0, 'b', 0}}, "\"Two strings\"=hex(1):61,00,62,00\n"},
        {{"Empty", 3, {}}, "\"Empty\"=hex:\n"},
        {{"Quad", 11, {1, 0, 0, 0, 0, 0, 0, 0}}, "\"Quad\"=hex(b):01,00,00,00,00,00,00,00\n"},
        // 23 bytes fill the first line to column 79, then 25 to a line, two spaces in.
        {{"Odd", 3, Bytes(50)},
         "\"Odd\"=hex:01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,17,\\\n"
         "  18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,28,29,2a,2b,2c,2d,2e,2f,30,\\\n"
         "  31,32\n"},
    };
    for (const Case &c : cases) {
        RegKey key;
        key.path = "HKEY_LOCAL_MACHINE\\K";
        key.values = {c.value};
        EXPECT_EQ(ktsensors::FormatRegedit4(key), "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\K]\n" + c.line + "\n")
            << c.value.name;
    }
}

TEST(Regedit4, ListsSubkeysAfterTheirParentInWalkOrder)
{
    RegKey root{"HKEY_LOCAL_MACHINE\\T", {}, {}};
    RegKey a{"HKEY_LOCAL_MACHINE\\T\\A", {{"v", 4, {1, 0, 0, 0}}}, {{"HKEY_LOCAL_MACHINE\\T\\A\\Deep", {}, {}}}};
    root.subkeys = {a, {"HKEY_LOCAL_MACHINE\\T\\B", {}, {}}};
    EXPECT_EQ(ktsensors::FormatRegedit4(root),
              "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\T]\n\n[HKEY_LOCAL_MACHINE\\T\\A]\n\"v\"=dword:00000001\n\n"
              "[HKEY_LOCAL_MACHINE\\T\\A\\Deep]\n\n[HKEY_LOCAL_MACHINE\\T\\B]\n\n");
}

} // namespace
