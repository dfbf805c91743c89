// Whether only administrators can change a folder and every folder above it: the judgement of
// each folder's owner, access list and attributes, and the walk from a drive's root down to the
// folder, one folder opened inside the last. The walk reaches folders through FolderSystem, so
// that it runs and is tested on any platform; folder_check_windows.cpp is the real one.
#ifndef KTSENSORS_FOLDER_RULES_H
#define KTSENSORS_FOLDER_RULES_H

#include <stdint.h>

#include <string>
#include <vector>

namespace ktsensors {

// Access rights that matter to the judgement, as Windows numbers them in an access mask.
const uint32_t kRightAddFile = 0x00000002;      // FILE_ADD_FILE
const uint32_t kRightAddFolder = 0x00000004;    // FILE_ADD_SUBDIRECTORY
const uint32_t kRightDeleteChild = 0x00000040;  // FILE_DELETE_CHILD
const uint32_t kRightDelete = 0x00010000;       // DELETE
const uint32_t kRightWriteAcl = 0x00040000;     // WRITE_DAC
const uint32_t kRightWriteOwner = 0x00080000;   // WRITE_OWNER
const uint32_t kRightGenericAll = 0x10000000;   // GENERIC_ALL
const uint32_t kRightGenericWrite = 0x40000000; // GENERIC_WRITE

// One entry of a folder's access list.
struct AccessEntry {
    enum Kind { Allow, Deny, Other } kind = Allow;
    bool inheritOnly = false; // applies only to what is created inside
    uint32_t mask = 0;
    bool trusted = false;     // SYSTEM, the Administrators, TrustedInstaller or this program's account
    std::string who;          // the account's name, for messages
};

// What the judgement needs to know of an open folder.
struct FolderFacts {
    std::string unreadable;   // why its security could not be read; "" when it was
    bool link = false;        // a reparse point (junction, symbolic link, mount point), or a link followed
    bool hasAcl = true;       // false: no access list at all, so everyone may do anything
    bool ownerTrusted = false;
    std::string owner;        // the owner's name, for messages
    std::vector<AccessEntry> entries;
};

// A folder's place: on the way (only the name leading on must stay), or the folder itself,
// where nobody else may even add a file; or a file the service reads, which nobody else may
// write (a file's write and append rights are the add-file and add-folder bits).
enum class FolderRole { OnTheWay, Destination, File };

// Why accounts other than the trusted ones could change `folder` in its role (or "" when
// they cannot): a link, no access list, an untrusted owner, an entry that grants an untrusted
// account a right to change it, or an entry of a kind not judged. A File is judged by its
// facts as a folder is, and named a file.
std::string JudgeFolder(const std::string &folder, const FolderFacts &facts, FolderRole role);

// Folders opened one inside another, by handle.
class FolderSystem {
public:
    using Handle = void *;
    enum class Opened { Yes, Missing, Failed };
    virtual ~FolderSystem() = default;
    // Opens the drive's root folder "C:\"; without it *error says why.
    virtual Opened OpenRoot(const std::string &root, Handle *folder, std::string *error) = 0;
    // Opens the folder `name` inside the open folder `parent`, never following a link there.
    virtual Opened OpenChild(Handle parent, const std::string &name, Handle *folder, std::string *error) = 0;
    // The facts of an open folder.
    virtual FolderFacts Inspect(Handle folder) = 0;
    virtual void Close(Handle folder) = 0;
};

// How a problem of OpenTrustedFolder ends when a folder does not exist.
const char kFolderMissing[] = " does not exist";

// Opens `folder` ("C:\a\b", a full path) from its drive's root, one folder inside the last,
// judging each: the ones on the way and the folder itself. Returns the folder, open, or null
// with the first problem in *problem ("the folder X does not exist" for a missing one). With
// `missing`, a folder that does not exist yet is no problem when the last one that does is fit
// to hold it (nobody else may add a folder there): null is returned with *problem "" and the
// missing folder in *missing.
FolderSystem::Handle OpenTrustedFolder(FolderSystem &system, const std::string &folder, std::string *problem,
                                       std::string *missing = nullptr);

// The folder part of a path ("C:\a\b.prom" -> "C:\a", "C:\b.prom" -> "C:\"; "." for a bare
// name) and the name part ("b.prom").
std::string FolderOf(const std::string &path);
std::string NameOf(const std::string &path);

} // namespace ktsensors

#endif
