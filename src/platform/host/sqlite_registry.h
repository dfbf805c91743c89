// A registry store kept in a SQLite file, so that the stand-in's HKEY_LOCAL_MACHINE persists
// between runs and is shared by processes running at once, as the real registry is.
#ifndef KOVALTHERM_HOST_SQLITE_REGISTRY_H
#define KOVALTHERM_HOST_SQLITE_REGISTRY_H

#include <memory>
#include <string>

#include "platform/host/registry_store.h"

namespace host {

class SqliteRegistry : public RegistryStore {
public:
    // Why the last operation that returned false failed ("" after a success).
    virtual std::string LastError() const = 0;
};

// Opens the registry file at `path`. With ReadWrite it is created (not its folder) when it does
// not exist or is empty; with ReadOnly nothing is created and every write fails. Returns
// nullptr with a one-line message in `*error` when the file cannot be opened, is not a registry
// file, is damaged, or (ReadWrite) is read-only; such a file is left exactly as it was.
std::unique_ptr<SqliteRegistry> MakeSqliteRegistry(const std::string &path, std::string *error,
                                                   RegistryAccess access = RegistryAccess::ReadWrite);

} // namespace host

#endif
