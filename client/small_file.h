// Small files read whole (scenarios, the sensor configuration): only regular files, up to a
// size, by UTF-8 path (UTF-16 on Windows).
#ifndef KTSENSORS_SMALL_FILE_H
#define KTSENSORS_SMALL_FILE_H

#include <stddef.h>
#include <stdio.h>

#include <string>

namespace ktsensors {

enum class FileRead {
    Ok,      // `*text` holds the file
    Missing, // there is no file at the path
    Failed,  // it is not a regular file, is larger than allowed, or cannot be read: `*error` says which
};

// Reads the file at `path` into `*text`, refusing one larger than `maxBytes` (`what` names
// such files in the message: "too large for a scenario"). A message starts with the path.
FileRead ReadSmallFile(const std::string &path, size_t maxBytes, const char *what, std::string *text,
                       std::string *error);

// Reads the open `file` (from its start) whole into `*text` as ReadSmallFile does, and closes it;
// `path` names it in messages.
FileRead ReadOpenSmallFile(FILE *file, const std::string &path, size_t maxBytes, const char *what, std::string *text,
                           std::string *error);

} // namespace ktsensors

#endif
