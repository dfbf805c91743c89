// ktsensors' output on Linux: a file named by --output or --plot is replaced atomically
// (a link followed to its target), a character device or FIFO written as it is, and the
// registry file and the files kept with it refused.
#include "backend.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "formats.h"
#include "platform/host/host.h"

namespace ktsensors {

namespace {

// `path` with its folder resolved (symbolic links, "." and ".."); "" if the folder does not
// exist. The file itself is not followed.
std::string ResolvedEntry(const std::string &path)
{
    size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    char *real = realpath(folder.c_str(), nullptr);
    if (!real)
        return std::string();
    std::string resolved = real;
    free(real);
    return resolved + (resolved == "/" ? "" : "/") + base;
}

// Whether two stat results are one file.
bool SameFile(const struct stat &a, const struct stat &b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// How readings reach what --output names.
enum class OutputKind {
    Replaced, // a file (or the file a link leads to), replaced atomically
    InPlace,  // a character device or FIFO, such as /dev/stdout: written as it is
    Refused,
};

// Looks at what `path` names: for Replaced, `*file` is the path to replace (a link followed
// to its target); for Refused, `*why` says why.
OutputKind ExamineOutput(const std::string &path, std::string *file, std::string *why)
{
    struct stat link, info;
    bool isLink = lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode);
    if (stat(path.c_str(), &info) != 0) {
        if (!isLink) { // a new file
            *file = path;
            return OutputKind::Replaced;
        }
        char target[PATH_MAX] = {};
        ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
        *why = errno == ELOOP ? std::string("it is a symbolic link in a loop")
               : errno == ENOENT
                   ? "it is a symbolic link to " + std::string(target, length > 0 ? (size_t)length : 0) +
                         ", which does not exist"
                   : std::string(strerror(errno));
        return OutputKind::Refused;
    }
    if (S_ISCHR(info.st_mode) || S_ISFIFO(info.st_mode))
        return OutputKind::InPlace;
    if (S_ISDIR(info.st_mode)) {
        *why = strerror(EISDIR);
        return OutputKind::Refused;
    }
    if (!S_ISREG(info.st_mode)) {
        *why = "it is not a file, a character device or a FIFO";
        return OutputKind::Refused;
    }
    if (!isLink) {
        *file = path;
        return OutputKind::Replaced;
    }
    char *real = realpath(path.c_str(), nullptr);
    if (!real) {
        *why = strerror(errno);
        return OutputKind::Refused;
    }
    *file = real;
    free(real);
    return OutputKind::Replaced;
}

// Writes all of `text` to `fd`. A signal that interrupts the write ends it: the tool is
// stopping, and the reading is abandoned.
bool WriteAll(int fd, const std::string &text)
{
    for (size_t done = 0; done < text.size();) {
        ssize_t written = write(fd, text.data() + done, text.size() - done);
        if (written <= 0)
            return false;
        done += (size_t)written;
    }
    return true;
}

class HostOutput : public Output {
public:
    explicit HostOutput(const Registry &registry) : registry_(registry) {}

    bool DegreeSign() const override { return Utf8Locale(); }

    void GuardStandardStreams() override
    {
        // open() takes the lowest free descriptor, so going up from 0 fills each closed one.
        for (int fd = 0; fd <= 2; ++fd)
            if (fcntl(fd, F_GETFD) == -1 && errno == EBADF)
                open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
    }

    bool SaveAtomically(const std::string &path, const std::string &text, std::string *error) override
    {
        std::string file, why;
        switch (ExamineOutput(path, &file, &why)) {
        case OutputKind::Refused:
            *error = "cannot write " + path + ": " + why;
            return false;
        case OutputKind::InPlace: return WriteInPlace(path, text, error);
        case OutputKind::Replaced: break;
        }
        if (IsRegistryFile(file)) {
            *error = "cannot write " + path + ": it is the registry file " + registry_.File() +
                     " or one of the files kept with it";
            return false;
        }
        size_t slash = file.rfind('/');
        std::string folder = slash == std::string::npos ? "" : file.substr(0, slash + 1);
        std::string base = slash == std::string::npos ? file : file.substr(slash + 1);
        // A hidden name that no collector reads until the rename, within the longest name a
        // folder holds.
        std::string temporary = folder + "." + base.substr(0, NAME_MAX - 8) + ".XXXXXX";
        int fd = mkstemp(&temporary[0]);
        if (fd < 0) {
            *error = "cannot write " + path + ": " + strerror(errno);
            return false;
        }
        bool ok = fchmod(fd, 0644) == 0 && WriteAll(fd, text) && fsync(fd) == 0;
        int saved = errno;
        ok = close(fd) == 0 && ok;
        if (ok && rename(temporary.c_str(), file.c_str()) == 0)
            return true;
        saved = ok ? errno : saved;
        unlink(temporary.c_str());
        *error = "cannot write " + path + ": " + strerror(saved);
        return false;
    }

    // Writes a reading to a character device or FIFO as it is: they cannot be replaced.
    static bool WriteInPlace(const std::string &path, const std::string &text, std::string *error)
    {
        int fd = open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
        bool ok = fd >= 0 && WriteAll(fd, text);
        int saved = errno;
        if (fd >= 0 && close(fd) != 0 && ok) {
            ok = false;
            saved = errno;
        }
        if (!ok)
            *error = "cannot write " + path + ": " + strerror(saved);
        return ok;
    }

    // True if `file` is the open registry file, one of SQLite's files beside it or a named
    // mutex's lock file, by name or as another name (a hard link) of one: readings written
    // there would destroy the sensor cache or the lock.
    bool IsRegistryFile(const std::string &file) const
    {
        const std::string &registryFile = registry_.File();
        if (registryFile.empty())
            return false;
        char *real = realpath(registryFile.c_str(), nullptr);
        if (!real)
            return false;
        const std::string registry = real;
        free(real);
        const std::string target = ResolvedEntry(file), stem = host::MutexLockFileStem(registryFile);
        const char *const suffixes[] = {"", "-wal", "-shm", "-journal"};
        for (const char *suffix : suffixes)
            if (target == registry + suffix)
                return true;
        if (!stem.empty() && target.rfind(stem, 0) == 0)
            return true;
        struct stat info, other;
        if (stat(file.c_str(), &info) != 0)
            return false;
        for (const char *suffix : suffixes)
            if (stat((registry + suffix).c_str(), &other) == 0 && SameFile(info, other))
                return true;
        // Only a file with several names can be a lock file under another one.
        if (info.st_nlink < 2 || stem.empty())
            return false;
        size_t slash = stem.rfind('/');
        std::string folder = stem.substr(0, slash + 1), start = stem.substr(slash + 1);
        bool found = false;
        DIR *dir = opendir(folder.c_str());
        while (dir && !found) {
            dirent *entry = readdir(dir);
            if (!entry)
                break;
            std::string name = entry->d_name;
            found = name.rfind(start, 0) == 0 && stat((folder + name).c_str(), &other) == 0 && SameFile(info, other);
        }
        if (dir)
            closedir(dir);
        return found;
    }

private:
    const Registry &registry_;
};

} // namespace

std::unique_ptr<Output> MakeOutput(const Registry &registry) { return std::make_unique<HostOutput>(registry); }

} // namespace ktsensors
