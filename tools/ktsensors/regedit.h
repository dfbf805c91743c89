// Registry keys as REGEDIT4 text, the format `reg export` and regedit write, and their values.
#ifndef KTSENSORS_REGEDIT_H
#define KTSENSORS_REGEDIT_H

#include <string>

#include "backend.h"

namespace ktsensors {

// The key and everything under it as a REGEDIT4 file: the header line, then each key in
// brackets followed by its values, keys in the order of the walk, a blank line after each.
std::string FormatRegedit4(const RegKey &key);

// The value of a REG_DWORD entry of `key`, if it has one by that name.
bool DwordValue(const RegKey &key, const char *name, int *value);

} // namespace ktsensors

#endif
