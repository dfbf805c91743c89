// Small files read whole.
#include "small_file.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include "excerpt.h"
#ifdef _WIN32
#include "wide_windows.h"
#endif

namespace ktsensors {

namespace {

// Why a file larger than `maxBytes` is refused.
std::string TooLarge(const std::string &name, size_t maxBytes, const char *what)
{
    return name + ": larger than " + std::to_string(maxBytes / 1024) + " KiB, too large for " + what;
}

} // namespace

FileRead ReadSmallFile(const std::string &path, size_t maxBytes, const char *what, std::string *text,
                       std::string *error)
{
    const std::string name = Excerpt(path, 80);
    // Only a regular file: a pipe or a device could block or never end.
#ifdef _WIN32
    struct _stat64 info;
    bool found = _wstat64(Wide(path).c_str(), &info) == 0;
#else
    struct stat info;
    bool found = stat(path.c_str(), &info) == 0;
#endif
    if (!found) {
        if (errno == ENOENT || errno == ENOTDIR)
            return FileRead::Missing;
        *error = name + ": cannot be read (" + strerror(errno) + ")";
        return FileRead::Failed;
    }
    if (!S_ISREG(info.st_mode)) {
        *error = name + ": not a regular file";
        return FileRead::Failed;
    }
    if ((uint64_t)info.st_size > maxBytes) {
        *error = TooLarge(name, maxBytes, what);
        return FileRead::Failed;
    }
#ifdef _WIN32
    FILE *file = _wfopen(Wide(path).c_str(), L"rb");
#else
    FILE *file = fopen(path.c_str(), "rb");
#endif
    if (!file) {
        *error = name + ": cannot be read (" + strerror(errno) + ")";
        return FileRead::Failed;
    }
    return ReadOpenSmallFile(file, path, maxBytes, what, text, error);
}

FileRead ReadOpenSmallFile(FILE *file, const std::string &path, size_t maxBytes, const char *what, std::string *text,
                           std::string *error)
{
    const std::string name = Excerpt(path, 80);
    // Reads at most one byte past the limit, in case the file grew since it was looked at.
    std::string content(maxBytes + 1, '\0');
    size_t length = fread(&content[0], 1, content.size(), file);
    bool failed = ferror(file) != 0;
    fclose(file);
    if (failed) {
        *error = name + ": cannot be read";
        return FileRead::Failed;
    }
    if (length > maxBytes) {
        *error = TooLarge(name, maxBytes, what);
        return FileRead::Failed;
    }
    content.resize(length);
    *text = std::move(content);
    return FileRead::Ok;
}

} // namespace ktsensors
