// The folder check on Windows: folders opened one inside the last by handle (NtCreateFile
// relative to the folder above, never following a link), their owner and access list read
// from the handle (GetSecurityInfo), their attributes (FileAttributeTagInfo) and where the
// handle really leads (GetFinalPathNameByHandleW, which also shows a link that was followed:
// Wine follows its Unix symbolic links whatever the open asks).
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <winternl.h>

#include <map>
#include <vector>

#include "error_text_windows.h"
#include "folder_check_windows.h"
#include "folder_rules.h"
#include "service_rules.h"
#include "wide_windows.h"

namespace ktsensors {

static_assert(kRightAddFile == FILE_ADD_FILE && kRightAddFolder == FILE_ADD_SUBDIRECTORY &&
                  kRightDeleteChild == FILE_DELETE_CHILD && kRightDelete == DELETE && kRightWriteAcl == WRITE_DAC &&
                  kRightWriteOwner == WRITE_OWNER && kRightGenericAll == GENERIC_ALL &&
                  kRightGenericWrite == GENERIC_WRITE,
              "the folder rules' rights are Windows' own");

namespace {

// NtCreateFile's options for a folder: open it, never the target of a link, synchronously.
const ULONG kFolderOptions = FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT |
                             FILE_OPEN_FOR_BACKUP_INTENT;
// What a folder handle may do: be inspected, and serve as the root of opens and renames in it.
const ACCESS_MASK kFolderAccess = READ_CONTROL | FILE_READ_ATTRIBUTES | FILE_TRAVERSE | SYNCHRONIZE;
const ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// The same for a file to be read: never the target of a link, and its security read too.
const ULONG kFileOptions = FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT;
const ACCESS_MASK kFileAccess = GENERIC_READ;

// The accounts that may change the folders the service runs from and writes to: SYSTEM, the
// Administrators, TrustedInstaller, and the account this process runs as (LocalSystem for the
// service).
class TrustedAccounts {
public:
    TrustedAccounts()
    {
        const WELL_KNOWN_SID_TYPE known[] = {WinLocalSystemSid, WinBuiltinAdministratorsSid};
        for (WELL_KNOWN_SID_TYPE type : known) {
            std::vector<BYTE> sid(SECURITY_MAX_SID_SIZE);
            DWORD size = (DWORD)sid.size();
            if (CreateWellKnownSid(type, nullptr, sid.data(), &size))
                sids_.push_back(sid);
        }
        PSID installer = nullptr;
        if (ConvertStringSidToSidA(KT_TRUSTED_INSTALLER_SID, &installer)) {
            Add(installer);
            LocalFree(installer);
        }
        HANDLE token;
        if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
            std::vector<BYTE> user(512);
            DWORD size = 0;
            if (GetTokenInformation(token, TokenUser, user.data(), (DWORD)user.size(), &size))
                Add(((TOKEN_USER *)user.data())->User.Sid);
            CloseHandle(token);
        }
    }

    bool Trusts(PSID sid) const
    {
        for (const std::vector<BYTE> &trusted : sids_)
            if (EqualSid(sid, (PSID)trusted.data()))
                return true;
        return false;
    }

private:
    void Add(PSID sid)
    {
        BYTE *bytes = (BYTE *)sid;
        sids_.emplace_back(bytes, bytes + GetLengthSid(sid));
    }

    std::vector<std::vector<BYTE>> sids_;
};

// Folders opened on this machine; each handle remembers where it should lead.
class WindowsFolders : public FolderSystem {
public:
    Opened OpenRoot(const std::string &root, Handle *folder, std::string *error) override
    {
        HANDLE handle = CreateFileW(Wide(root).c_str(), kFolderAccess, kShareAll, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            DWORD code = GetLastError();
            *error = ErrorText(code);
            return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? Opened::Missing : Opened::Failed;
        }
        expected_[handle] = FinalPath(handle);
        *folder = handle;
        return Opened::Yes;
    }

    Opened OpenChild(Handle parent, const std::string &name, Handle *folder, std::string *error) override
    {
        return OpenInside(parent, name, kFolderAccess, kFolderOptions, folder, error);
    }

    // Opens the file `name` inside the open folder `parent` to be read, never through a link.
    Opened OpenFile(Handle parent, const std::string &name, Handle *file, std::string *error)
    {
        return OpenInside(parent, name, kFileAccess, kFileOptions, file, error);
    }

    FolderFacts Inspect(Handle folder) override
    {
        FolderFacts facts;
        FILE_ATTRIBUTE_TAG_INFO tag{};
        std::wstring final = FinalPath((HANDLE)folder);
        facts.link = (GetFileInformationByHandleEx((HANDLE)folder, FileAttributeTagInfo, &tag, sizeof tag) &&
                      (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) ||
                     final.empty() || !SamePath(final, expected_[folder]);
        PSID owner = nullptr;
        PACL acl = nullptr;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        DWORD rc = GetSecurityInfo((HANDLE)folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                   &owner, nullptr, &acl, nullptr, &descriptor);
        if (rc != ERROR_SUCCESS) {
            facts.unreadable = ErrorText(rc);
            return facts;
        }
        facts.hasAcl = acl != nullptr;
        facts.ownerTrusted = owner && trusted_.Trusts(owner);
        facts.owner = owner ? AccountName(owner) : "nobody";
        for (DWORD i = 0; acl && i < acl->AceCount; ++i) {
            ACE_HEADER *ace = nullptr;
            if (!GetAce(acl, i, (void **)&ace))
                continue;
            AccessEntry entry;
            entry.inheritOnly = (ace->AceFlags & INHERIT_ONLY_ACE) != 0;
            entry.kind = ace->AceType == ACCESS_ALLOWED_ACE_TYPE ? AccessEntry::Allow
                         : ace->AceType == ACCESS_DENIED_ACE_TYPE || ace->AceType == ACCESS_DENIED_OBJECT_ACE_TYPE ||
                                 ace->AceType == ACCESS_DENIED_CALLBACK_ACE_TYPE ||
                                 ace->AceType == ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE
                             ? AccessEntry::Deny
                             : AccessEntry::Other;
            if (entry.kind == AccessEntry::Allow) {
                ACCESS_ALLOWED_ACE *allowed = (ACCESS_ALLOWED_ACE *)ace;
                PSID sid = (PSID)&allowed->SidStart;
                entry.mask = allowed->Mask;
                entry.trusted = trusted_.Trusts(sid);
                entry.who = entry.trusted ? "" : AccountName(sid);
            }
            facts.entries.push_back(entry);
        }
        LocalFree(descriptor);
        return facts;
    }

    void Close(Handle folder) override
    {
        expected_.erase(folder);
        CloseHandle((HANDLE)folder);
    }

private:
    // Opens `name` inside the open folder `parent` with NtCreateFile, relative to its handle and
    // never following a link there; the new handle should lead where `parent` does, then `name`.
    Opened OpenInside(Handle parent, const std::string &name, ACCESS_MASK access, ULONG options, Handle *opened,
                      std::string *error)
    {
        std::wstring wide = Wide(name);
        UNICODE_STRING object = {(USHORT)(wide.size() * sizeof(wchar_t)), (USHORT)(wide.size() * sizeof(wchar_t)),
                                 &wide[0]};
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &object, OBJ_CASE_INSENSITIVE, (HANDLE)parent, nullptr);
        IO_STATUS_BLOCK io;
        HANDLE handle = nullptr;
        NTSTATUS status =
            NtCreateFile(&handle, access, &attributes, &io, nullptr, 0, kShareAll, FILE_OPEN, options, nullptr, 0);
        if (status < 0) {
            DWORD code = RtlNtStatusToDosError(status);
            *error = ErrorText(code);
            return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? Opened::Missing : Opened::Failed;
        }
        const std::wstring &above = expected_[parent];
        expected_[handle] = above + (above.empty() || above.back() == L'\\' ? L"" : L"\\") + wide;
        *opened = handle;
        return Opened::Yes;
    }

    TrustedAccounts trusted_;
    std::map<Handle, std::wstring> expected_;
};

} // namespace

std::string AccountName(PSID sid)
{
    wchar_t name[256], domain[256];
    DWORD nameLength = 256, domainLength = 256;
    SID_NAME_USE use;
    if (LookupAccountSidW(nullptr, sid, name, &nameLength, domain, &domainLength, &use))
        return *domain ? Utf8(domain) + "\\" + Utf8(name) : Utf8(name);
    wchar_t *text = nullptr;
    std::string result = "an unknown account";
    if (ConvertSidToStringSidW(sid, &text)) {
        result = Utf8(text);
        LocalFree(text);
    }
    return result;
}

std::wstring FinalPath(HANDLE handle)
{
    std::wstring path(MAX_PATH, L'\0');
    DWORD length = GetFinalPathNameByHandleW(handle, &path[0], (DWORD)path.size(), FILE_NAME_NORMALIZED);
    if (length >= path.size()) {
        path.resize(length + 1);
        length = GetFinalPathNameByHandleW(handle, &path[0], (DWORD)path.size(), FILE_NAME_NORMALIZED);
    }
    path.resize(length < path.size() ? length : 0);
    return path;
}

bool SamePath(const std::wstring &a, const std::wstring &b)
{
    return CompareStringOrdinal(a.data(), (int)a.size(), b.data(), (int)b.size(), TRUE) == CSTR_EQUAL;
}

HANDLE OpenCheckedFolder(const std::string &folder, std::string *problem, std::string *missing)
{
    WindowsFolders folders;
    return (HANDLE)OpenTrustedFolder(folders, folder, problem, missing);
}

HANDLE OpenCheckedFile(const std::string &path, std::string *problem, bool *missing)
{
    WindowsFolders folders;
    problem->clear();
    *missing = false;
    HANDLE folder = (HANDLE)OpenTrustedFolder(folders, FolderOf(path), problem);
    if (!folder) {
        size_t ending = sizeof kFolderMissing - 1;
        *missing = problem->size() >= ending && problem->compare(problem->size() - ending, ending, kFolderMissing) == 0;
        return nullptr;
    }
    FolderSystem::Handle file = nullptr;
    std::string error;
    FolderSystem::Opened opened = folders.OpenFile(folder, NameOf(path), &file, &error);
    folders.Close(folder);
    if (opened != FolderSystem::Opened::Yes) {
        *missing = opened == FolderSystem::Opened::Missing;
        if (!*missing)
            *problem = "the file " + path + " cannot be opened (" + error + ")";
        return nullptr;
    }
    *problem = JudgeFolder(path, folders.Inspect(file), FolderRole::File);
    if (!problem->empty()) {
        folders.Close(file);
        return nullptr;
    }
    return (HANDLE)file;
}

std::string FolderProblem(const std::string &folder)
{
    std::string problem;
    HANDLE handle = OpenCheckedFolder(folder, &problem);
    if (handle)
        CloseHandle(handle);
    return problem;
}

} // namespace ktsensors
