// Text from outside (options, scenario files) quoted in one-line messages.
#ifndef KTSENSORS_EXCERPT_H
#define KTSENSORS_EXCERPT_H

#include <stddef.h>

#include <string>

namespace ktsensors {

// At most `limit` characters of `text` for a message, control characters replaced, "..."
// marking a cut.
std::string Excerpt(const std::string &text, size_t limit = 80);

} // namespace ktsensors

#endif
