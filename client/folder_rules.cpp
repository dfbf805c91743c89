// The folder check's judgement and walk, apart from the platform.
#include "folder_rules.h"

namespace ktsensors {

namespace {

// Rights that let their holder remove or rename what a path goes through, or decide who may:
// no folder on the way may grant them to others.
const uint32_t kChangesTheWay = kRightDeleteChild | kRightDelete | kRightWriteAcl | kRightWriteOwner | kRightGenericAll;
// In the folder itself, adding a file or folder counts too: a file of someone else's where a
// privileged writer writes. On the way it does not: a drive's root lets every user add a folder,
// and a new name beside the way changes nothing on it.
const uint32_t kChangesTheFolder = kChangesTheWay | kRightAddFile | kRightAddFolder | kRightGenericWrite;

} // namespace

std::string JudgeFolder(const std::string &folder, const FolderFacts &facts, FolderRole role)
{
    const std::string named = (role == FolderRole::File ? "the file " : "the folder ") + folder;
    if (!facts.unreadable.empty())
        return "the access control list of " + folder + " cannot be read (" + facts.unreadable + ")";
    if (facts.link)
        return named + " is a link (a junction, symbolic link or mount point), which could lead anywhere";
    if (!facts.hasAcl)
        return named + " has no access control list, so everyone may change it";
    if (!facts.ownerTrusted)
        return named + " belongs to " + facts.owner + ", who may change its access";
    uint32_t refused = role == FolderRole::OnTheWay ? kChangesTheWay : kChangesTheFolder;
    for (const AccessEntry &entry : facts.entries) {
        // Entries only for what is created inside grant nothing on the folder, and a denial
        // only takes away.
        if (entry.inheritOnly || entry.kind == AccessEntry::Deny)
            continue;
        if (entry.kind == AccessEntry::Other)
            return named + " has an access entry of a kind the service does not judge";
        if ((entry.mask & refused) && !entry.trusted)
            return "the access control list of " + folder + " lets " + entry.who + " change it";
    }
    return "";
}

FolderSystem::Handle OpenTrustedFolder(FolderSystem &system, const std::string &folder, std::string *problem,
                                       std::string *missing)
{
    if (folder.size() < 3 || folder[1] != ':' || folder[2] != '\\') {
        *problem = "the folder " + folder + " is not a full path on a drive";
        return nullptr;
    }
    std::vector<std::string> names;
    for (size_t start = 3; start < folder.size();) {
        size_t end = folder.find('\\', start);
        end = end == std::string::npos ? folder.size() : end;
        if (end > start)
            names.push_back(folder.substr(start, end - start));
        start = end + 1;
    }
    std::string path = folder.substr(0, 3), error;
    FolderSystem::Handle current = nullptr;
    FolderSystem::Opened opened = system.OpenRoot(path, &current, &error);
    for (size_t i = 0;; ++i) {
        if (opened != FolderSystem::Opened::Yes) {
            *problem = opened == FolderSystem::Opened::Missing ? "the folder " + path + kFolderMissing
                                                               : "the folder " + path + " cannot be opened (" + error + ")";
            return nullptr;
        }
        *problem = JudgeFolder(path, system.Inspect(current), i == names.size() ? FolderRole::Destination
                                                                                 : FolderRole::OnTheWay);
        if (!problem->empty() || i == names.size())
            break;
        FolderSystem::Handle parent = current;
        std::string above = path;
        path += (path.size() > 3 ? "\\" : "") + names[i];
        opened = system.OpenChild(parent, names[i], &current, &error);
        if (opened == FolderSystem::Opened::Missing && missing) {
            // Whoever may add a folder to the last one that exists could make the missing one theirs.
            *problem = JudgeFolder(above, system.Inspect(parent), FolderRole::Destination);
            if (problem->empty())
                *missing = path;
            system.Close(parent);
            return nullptr;
        }
        system.Close(parent);
    }
    if (problem->empty())
        return current;
    system.Close(current);
    return nullptr;
}

std::string FolderOf(const std::string &path)
{
    size_t slash = path.find_last_of("\\/");
    if (slash == std::string::npos)
        return ".";
    return slash == 2 && path[1] == ':' ? path.substr(0, 3) : path.substr(0, slash);
}

std::string NameOf(const std::string &path)
{
    size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace ktsensors
