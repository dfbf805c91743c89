// The folder check of the Windows service: a folder's owner and access list, read with
// GetNamedSecurityInfoA, against the accounts trusted to change it.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <vector>

#include "error_text_windows.h"
#include "folder_check_windows.h"

namespace ktsensors {

namespace {

// The SID of TrustedInstaller, which owns much of the system's folders.
const char *const kTrustedInstallerSid = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
// Rights on a folder that let their holder put a file of their own where the service writes,
// or change who may: add a file or folder, delete children, delete it, change its ACL or owner.
const DWORD kFolderWriteRights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                                 WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

// A SID's account name ("BUILTIN\Users"), or its string form when it has none.
std::string SidName(PSID sid)
{
    char name[256], domain[256];
    DWORD nameLength = sizeof name, domainLength = sizeof domain;
    SID_NAME_USE use;
    if (LookupAccountSidA(nullptr, sid, name, &nameLength, domain, &domainLength, &use))
        return *domain ? std::string(domain) + "\\" + name : std::string(name);
    char *text = nullptr;
    std::string result = "an unknown account";
    if (ConvertSidToStringSidA(sid, &text)) {
        result = text;
        LocalFree(text);
    }
    return result;
}

// The accounts that may change the folder the service writes to: SYSTEM, the Administrators,
// TrustedInstaller, and the account this process runs as (LocalSystem for the service).
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
        if (ConvertStringSidToSidA(kTrustedInstallerSid, &installer)) {
            BYTE *bytes = (BYTE *)installer;
            sids_.emplace_back(bytes, bytes + GetLengthSid(installer));
            LocalFree(installer);
        }
        HANDLE token;
        if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
            std::vector<BYTE> user(512);
            DWORD size = 0;
            if (GetTokenInformation(token, TokenUser, user.data(), (DWORD)user.size(), &size)) {
                PSID sid = ((TOKEN_USER *)user.data())->User.Sid;
                BYTE *bytes = (BYTE *)sid;
                sids_.emplace_back(bytes, bytes + GetLengthSid(sid));
            }
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
    std::vector<std::vector<BYTE>> sids_;
};

} // namespace

std::string FolderOf(const std::string &path)
{
    size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string FolderProblem(const std::string &folder)
{
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD rc = GetNamedSecurityInfoA(folder.c_str(), SE_FILE_OBJECT,
                                     OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr, &dacl,
                                     nullptr, &descriptor);
    if (rc != ERROR_SUCCESS)
        return rc == ERROR_FILE_NOT_FOUND || rc == ERROR_PATH_NOT_FOUND
                   ? "the folder " + folder + " does not exist"
                   : "the access control list of " + folder + " cannot be read (" + ErrorText(rc) + ")";
    TrustedAccounts trusted;
    std::string problem;
    if (!dacl)
        problem = "the folder " + folder + " has no access control list, so everyone may change it";
    else if (owner && !trusted.Trusts(owner))
        problem = "the folder " + folder + " belongs to " + SidName(owner) + ", who may change its access";
    for (DWORD i = 0; dacl && problem.empty() && i < dacl->AceCount; ++i) {
        ACE_HEADER *ace = nullptr;
        if (!GetAce(dacl, i, (void **)&ace))
            continue;
        // An entry only for what is created inside grants nothing on the folder itself.
        if (ace->AceFlags & INHERIT_ONLY_ACE)
            continue;
        if (ace->AceType == ACCESS_DENIED_ACE_TYPE || ace->AceType == ACCESS_DENIED_OBJECT_ACE_TYPE ||
            ace->AceType == ACCESS_DENIED_CALLBACK_ACE_TYPE || ace->AceType == ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE)
            continue;
        if (ace->AceType != ACCESS_ALLOWED_ACE_TYPE) {
            problem = "the folder " + folder + " has an access entry of a kind the service does not judge";
            break;
        }
        ACCESS_ALLOWED_ACE *allowed = (ACCESS_ALLOWED_ACE *)ace;
        PSID sid = (PSID)&allowed->SidStart;
        if ((allowed->Mask & kFolderWriteRights) && !trusted.Trusts(sid))
            problem = "the access control list of " + folder + " lets " + SidName(sid) + " change it";
    }
    LocalFree(descriptor);
    return problem;
}

} // namespace ktsensors
