// REGEDIT4 text: strings quoted with \ and " escaped, DWORDs as dword:xxxxxxxx, everything
// else as comma-separated hex bytes (hex: for binary, hex(N): for other types), wrapped with
// a trailing backslash at regedit's line width.
#include "regedit.h"

#include <stdio.h>

namespace ktsensors {

namespace {

enum : uint32_t { TYPE_SZ = 1, TYPE_BINARY = 3, TYPE_DWORD = 4 };
// regedit wraps hex data once a line reaches this column, continuing two spaces in.
const size_t kHexWrapColumn = 77;

std::string Quote(const std::string &text)
{
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"')
            quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

// A string value's text: up to its first terminator, as REGEDIT4 stores ANSI text.
bool AsString(const std::vector<uint8_t> &data, std::string *text)
{
    size_t end = 0;
    while (end < data.size() && data[end] != 0)
        ++end;
    // Only a string whose bytes all lie before a final terminator (or the end) prints as text.
    for (size_t i = end; i < data.size(); ++i)
        if (data[i] != 0 || i + 1 != data.size())
            return false;
    text->assign(data.begin(), data.begin() + (long)end);
    return true;
}

// Hex bytes after `prefix` (the name part, e.g. "\"x\"=hex:"), wrapped like regedit.
std::string HexBytes(const std::string &prefix, const std::vector<uint8_t> &data)
{
    std::string out = prefix;
    size_t column = prefix.size();
    for (size_t i = 0; i < data.size(); ++i) {
        char byte[4];
        snprintf(byte, sizeof byte, "%02x", data[i]);
        bool last = i + 1 == data.size();
        out += byte;
        column += 2;
        if (last)
            break;
        out += ',';
        ++column;
        if (column >= kHexWrapColumn) {
            out += "\\\n  ";
            column = 2;
        }
    }
    return out;
}

// A REG_DWORD value's number, little-endian; false for any other value.
bool AsDword(const RegEntry &value, uint32_t *number)
{
    if (value.type != TYPE_DWORD || value.data.size() != 4)
        return false;
    *number = value.data[0] | value.data[1] << 8 | value.data[2] << 16 | (uint32_t)value.data[3] << 24;
    return true;
}

std::string FormatValue(const RegEntry &value)
{
    std::string name = value.name.empty() ? "@" : Quote(value.name);
    std::string text;
    uint32_t v = 0;
    if (AsDword(value, &v)) {
        char number[16];
        snprintf(number, sizeof number, "%08x", v);
        return name + "=dword:" + number + "\n";
    }
    if (value.type == TYPE_SZ && AsString(value.data, &text))
        return name + "=" + Quote(text) + "\n";
    if (value.type == TYPE_BINARY)
        return HexBytes(name + "=hex:", value.data) + "\n";
    char type[16];
    snprintf(type, sizeof type, "%x", value.type);
    return HexBytes(name + "=hex(" + type + "):", value.data) + "\n";
}

void FormatKey(const RegKey &key, std::string *out)
{
    *out += "[" + key.path + "]\n";
    for (const RegEntry &value : key.values)
        *out += FormatValue(value);
    *out += "\n";
    for (const RegKey &sub : key.subkeys)
        FormatKey(sub, out);
}

} // namespace

bool DwordValue(const RegKey &key, const char *name, int *value)
{
    uint32_t number = 0;
    for (const RegEntry &entry : key.values)
        if (entry.name == name && AsDword(entry, &number)) {
            *value = (int)number;
            return true;
        }
    return false;
}

std::string FormatRegedit4(const RegKey &key)
{
    std::string out = "REGEDIT4\n\n";
    FormatKey(key, &out);
    return out;
}

} // namespace ktsensors
