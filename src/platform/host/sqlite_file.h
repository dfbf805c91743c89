// The registry file on disk: what a path holds, and setting up a connection to it. Nothing is
// written to a file until it is known to be a registry file or is new, and inspecting a file
// leaves nothing beside it.
#ifndef KOVALTHERM_HOST_SQLITE_FILE_H
#define KOVALTHERM_HOST_SQLITE_FILE_H

#include <sqlite3.h>

#include <string>

#include "platform/host/registry_store.h"

namespace host {

// Identifies a registry file: SQLite's application id field ("KTRG").
constexpr int kRegistryApplicationId = 0x4B545247;
// Layout version of the tables inside a registry file.
constexpr int kRegistryLayoutVersion = 1;
// How long a write waits for another process's transaction before it fails.
constexpr int kRegistryBusyTimeoutMs = 10000;

// Opens the registry file at `path` for the store. With ReadWrite a missing or empty file is
// laid out as a new registry (race-free between processes) and the connection runs in WAL mode
// with a full sync; with ReadOnly nothing is created or changed. Returns nullptr with a
// one-line message in `*error` when the path is not a usable registry file.
sqlite3 *OpenRegistryFile(const std::string &path, RegistryAccess access, std::string *error);

// `text` on one line: control characters become spaces, runs of them one, and at most
// `limit` characters are kept, shortened in the middle so that the end is always there.
std::string OneLine(const std::string &text, size_t limit = 240);

// `text` as it is, or at most `limit` characters with its middle left out ("/var/li...ry.db"):
// the way a long path is named in a message.
std::string ShortPath(const std::string &text, size_t limit = 80);

} // namespace host

#endif
