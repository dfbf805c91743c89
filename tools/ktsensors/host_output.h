// The host build's output: files replaced atomically, character devices and FIFOs written as
// they are, and never the registry file.
#ifndef KTSENSORS_HOST_OUTPUT_H
#define KTSENSORS_HOST_OUTPUT_H

#include <memory>
#include <string>

#include "backend.h"

namespace ktsensors {

// The output; `registryFile` is the registry file's path as the registry keeps it ("" before
// one is opened), which readings must never replace.
std::unique_ptr<Output> MakeHostOutput(const std::string &registryFile);

} // namespace ktsensors

#endif
