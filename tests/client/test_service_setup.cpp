// The service's rules on the disk and in http.sys, run on the host over fakes: the folder walk
// over fake folders, and the URL reservation against a model of http.sys's store.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "folder_rules.h"
#include "url_reservation.h"

namespace ktsensors {
namespace {

// Folders by path, as a fake disk: what each one's inspection gives, and every open made.
class FakeFolders : public FolderSystem {
public:
    std::map<std::string, FolderFacts> folders;
    std::vector<std::string> opens; // "parent > name"
    int open = 0;

    Opened OpenRoot(const std::string &root, Handle *folder, std::string *) override
    {
        opens.push_back("> " + root);
        return Find(root, folder);
    }

    Opened OpenChild(Handle parent, const std::string &name, Handle *folder, std::string *) override
    {
        const std::string &above = *static_cast<std::string *>(parent);
        opens.push_back(above + " > " + name);
        return Find(above + (above.back() == '\\' ? "" : "\\") + name, folder);
    }

    FolderFacts Inspect(Handle folder) override { return folders[*static_cast<std::string *>(folder)]; }

    void Close(Handle folder) override
    {
        delete static_cast<std::string *>(folder);
        --open;
    }

private:
    Opened Find(const std::string &path, Handle *folder)
    {
        if (!folders.count(path))
            return Opened::Missing;
        *folder = new std::string(path);
        ++open;
        return Opened::Yes;
    }
};

// A folder as Program Files is: owned by TrustedInstaller, the administrators and SYSTEM may
// change it, users may read.
FolderFacts AdminFolder()
{
    FolderFacts facts;
    facts.ownerTrusted = true;
    facts.owner = "NT SERVICE\\TrustedInstaller";
    AccessEntry admins;
    admins.mask = 0x1f01ff;
    admins.trusted = true;
    AccessEntry users;
    users.mask = 0x1200a9;
    users.who = "BUILTIN\\Users";
    facts.entries = {admins, users};
    return facts;
}

// The same with one more entry: `mask` for Users, optionally only for what is created inside
// or as a denial.
FolderFacts WithUsers(uint32_t mask, bool inheritOnly = false, AccessEntry::Kind kind = AccessEntry::Allow)
{
    FolderFacts facts = AdminFolder();
    AccessEntry entry;
    entry.kind = kind;
    entry.mask = mask;
    entry.inheritOnly = inheritOnly;
    entry.who = "BUILTIN\\Users";
    facts.entries.push_back(entry);
    return facts;
}

TEST(ServiceRules, EveryFolderFromTheRootIsOpenedInsideTheLastAndJudged)
{
    struct Case {
        const char *what;
        const char *folder; // the one that differs from an administrators' folder
        FolderFacts facts;
        const char *problem; // "" for none
    };
    FolderFacts link = AdminFolder(), noAcl = AdminFolder(), userOwned = AdminFolder(), unreadable = AdminFolder();
    link.link = true;
    noAcl.hasAcl = false;
    userOwned.ownerTrusted = false;
    userOwned.owner = "PC\\bob";
    unreadable.unreadable = "error 5: Access is denied";
    FolderFacts callback = WithUsers(0, false, AccessEntry::Other);
    const Case cases[] = {
        {"all administrators' folders", "C:\\a", AdminFolder(), ""},
        {"the root lets users add folders, as C:\\ does", "C:\\", WithUsers(kRightAddFolder), ""},
        {"on the way, users may add files", "C:\\a", WithUsers(kRightAddFile | kRightGenericWrite), ""},
        {"on the way, users may delete what is inside", "C:\\a", WithUsers(kRightDeleteChild),
         "the access control list of C:\\a lets BUILTIN\\Users change it"},
        {"on the way, users may rename the folder", "C:\\a", WithUsers(kRightDelete),
         "the access control list of C:\\a lets BUILTIN\\Users change it"},
        {"on the way, users may change the access", "C:\\", WithUsers(kRightWriteAcl),
         "the access control list of C:\\ lets BUILTIN\\Users change it"},
        {"the folder itself lets users add a file", "C:\\a\\b", WithUsers(kRightAddFile),
         "the access control list of C:\\a\\b lets BUILTIN\\Users change it"},
        {"the folder itself lets users add a folder", "C:\\a\\b", WithUsers(kRightAddFolder),
         "the access control list of C:\\a\\b lets BUILTIN\\Users change it"},
        {"for what is created inside only", "C:\\a\\b", WithUsers(kRightGenericAll, true), ""},
        {"a denial takes away", "C:\\a\\b", WithUsers(kRightGenericAll, false, AccessEntry::Deny), ""},
        {"an entry of another kind", "C:\\a", callback,
         "the folder C:\\a has an access entry of a kind the service does not judge"},
        {"a link on the way", "C:\\a", link,
         "the folder C:\\a is a link (a junction, symbolic link or mount point), which could lead anywhere"},
        {"no access list", "C:\\a\\b", noAcl, "the folder C:\\a\\b has no access control list, so everyone may change it"},
        {"a user's folder on the way", "C:\\a", userOwned, "the folder C:\\a belongs to PC\\bob, who may change its access"},
        {"security unreadable", "C:\\a\\b", unreadable,
         "the access control list of C:\\a\\b cannot be read (error 5: Access is denied)"},
    };
    for (const Case &c : cases) {
        FakeFolders disk;
        for (const char *path : {"C:\\", "C:\\a", "C:\\a\\b"})
            disk.folders[path] = AdminFolder();
        disk.folders[c.folder] = c.facts;
        std::string problem;
        FolderSystem::Handle folder = OpenTrustedFolder(disk, "C:\\a\\b", &problem);
        EXPECT_EQ(problem, c.problem) << c.what;
        EXPECT_EQ(folder != nullptr, !*c.problem) << c.what;
        if (folder) {
            EXPECT_EQ(*static_cast<std::string *>(folder), "C:\\a\\b") << c.what;
            disk.Close(folder);
        }
        EXPECT_EQ(disk.open, 0) << c.what << ": a folder left open";
        if (!*c.problem) {
            EXPECT_EQ(disk.opens, (std::vector<std::string>{"> C:\\", "C:\\ > a", "C:\\a > b"})) << c.what;
        }
    }
}

// A file the service reads (its sensor configuration) is judged as the folder holding it: nobody
// else may write to it (a file's write and append rights are the add-file and add-folder bits),
// and it is named a file.
TEST(ServiceRules, AFileTheServiceReadsIsJudgedAsItsFolder)
{
    FolderFacts link = AdminFolder();
    link.link = true;
    const std::pair<FolderFacts, const char *> cases[] = {
        {AdminFolder(), ""},
        {WithUsers(kRightAddFile), "the access control list of C:\\a\\sensors.conf lets BUILTIN\\Users change it"},
        {WithUsers(kRightAddFolder), "the access control list of C:\\a\\sensors.conf lets BUILTIN\\Users change it"},
        {link, "the file C:\\a\\sensors.conf is a link (a junction, symbolic link or mount point), which could lead "
               "anywhere"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(JudgeFolder("C:\\a\\sensors.conf", c.first, FolderRole::File), c.second);
}

TEST(ServiceRules, AMissingFolderIsNamedAndNothingBelowItIsOpened)
{
    FakeFolders disk;
    disk.folders["C:\\"] = AdminFolder();
    std::string problem;
    EXPECT_EQ(OpenTrustedFolder(disk, "C:\\a\\b", &problem), nullptr);
    EXPECT_EQ(problem, "the folder C:\\a does not exist");
    EXPECT_EQ(disk.opens, (std::vector<std::string>{"> C:\\", "C:\\ > a"}));
    EXPECT_EQ(disk.open, 0);
    EXPECT_EQ(OpenTrustedFolder(disk, "a\\b", &problem), nullptr);
    EXPECT_EQ(problem, "the folder a\\b is not a full path on a drive");
}

// Where a folder may come later (the MSI's TEXTFILE before windows_exporter is installed), the last
// folder that exists is judged as the folder itself: whoever may add a folder there could make
// the missing one theirs.
TEST(ServiceRules, AFolderToComeNeedsAFolderNobodyElseMayAddTo)
{
    struct Case {
        const char *what;
        FolderFacts above; // C:\a, the last folder that exists
        const char *problem, *missing;
    };
    const Case cases[] = {
        {"an administrators' folder", AdminFolder(), "", "C:\\a\\b"},
        {"users may add a folder", WithUsers(kRightAddFolder),
         "the access control list of C:\\a lets BUILTIN\\Users change it", ""},
        {"users may add a file, as in C:\\", WithUsers(kRightAddFile),
         "the access control list of C:\\a lets BUILTIN\\Users change it", ""},
    };
    for (const Case &c : cases) {
        FakeFolders disk;
        disk.folders["C:\\"] = AdminFolder();
        disk.folders["C:\\a"] = c.above;
        std::string problem = "unset", missing;
        EXPECT_EQ(OpenTrustedFolder(disk, "C:\\a\\b\\c", &problem, &missing), nullptr) << c.what;
        EXPECT_EQ(problem, c.problem) << c.what;
        EXPECT_EQ(missing, c.missing) << c.what;
        EXPECT_EQ(disk.open, 0) << c.what;
    }
}

// http.sys's store as a map from URL to security descriptor, and the installers' record.
class ModelReservations : public UrlReservations {
public:
    std::map<std::string, std::string> store;
    std::string record;

    unsigned long Query(const std::string &url, std::string *sddl) override
    {
        auto found = store.find(url);
        if (found == store.end())
            return kUrlNotFound;
        *sddl = found->second;
        return kUrlDone;
    }
    unsigned long Add(const std::string &url, const std::string &sddl) override
    {
        return store.emplace(url, sddl).second ? kUrlDone : kUrlReserved;
    }
    unsigned long Remove(const std::string &url) override { return store.erase(url) ? kUrlDone : kUrlNotFound; }
    std::string Accounts(const std::string &sddl) override
    {
        return sddl == "D:(A;;GX;;;LS)" ? "NT AUTHORITY\\LOCAL SERVICE" : sddl == kServiceUrlSddl ? "NT AUTHORITY\\SYSTEM" : "?";
    }
    std::string ErrorText(unsigned long code) override { return "error " + std::to_string(code); }
    std::string Recorded() override { return record; }
    bool Record(const std::string &url) override
    {
        record = url;
        return true;
    }
};

// The reservation as the installers give it and take it away: only a reservation an install of
// ours made, as recorded, is ever kept, moved or removed; another program's is never touched.
TEST(ServiceRules, OnlyTheReservationAnInstallMadeIsChanged)
{
    const std::string system = kServiceUrlSddl, localService = "D:(A;;GX;;;LS)";
    const std::string ours = "http://+:9757/", other = "http://+:5357/", moved = "http://127.0.0.1:9758/";
    struct Case {
        const char *what;
        std::map<std::string, std::string> store;
        std::string record, url, earlier; // earlier: what an install before records had
        const char *problem;              // "" for none, else how it begins
        std::map<std::string, std::string> storeAfter;
        std::string recordAfter;
        std::map<std::string, std::string> storeAfterUninstall;
    };
    const Case cases[] = {
        {"a free URL", {}, "", ours, "", "", {{ours, system}}, ours, {}},
        {"another program's, for LOCAL SERVICE", {{other, localService}}, "", other, "",
         "http://+:5357/ is reserved for NT AUTHORITY\\LOCAL SERVICE (D:(A;;GX;;;LS)), which no install of Kovaltherm made",
         {{other, localService}}, "", {{other, localService}}},
        {"another program's, for SYSTEM as ours", {{other, system}}, "", other, "",
         "http://+:5357/ is reserved for NT AUTHORITY\\SYSTEM", {{other, system}}, "", {{other, system}}},
        {"ours again (a repair)", {{ours, system}}, ours, ours, "", "", {{ours, system}}, ours, {}},
        {"moved", {{ours, system}, {other, localService}}, ours, moved, "", "", {{moved, system}, {other, localService}},
         moved, {{other, localService}}},
        {"moved onto another program's", {{ours, system}, {other, localService}}, ours, other, "",
         "http://+:5357/ is reserved for", {{ours, system}, {other, localService}}, ours, {{other, localService}}},
        {"no server any more", {{ours, system}}, ours, "", "", "", {}, "", {}},
        {"ours gone meanwhile", {}, ours, ours, "", "", {{ours, system}}, ours, {}},
        {"an earlier install's, before records", {{ours, system}}, "", ours, ours, "", {{ours, system}}, ours, {}},
        {"an earlier install's URL, but reserved for another", {{ours, localService}}, "", ours, ours,
         "http://+:9757/ is reserved for", {{ours, localService}}, "", {{ours, localService}}},
    };
    for (const Case &c : cases) {
        ModelReservations model;
        model.store = c.store;
        model.record = c.record;
        std::vector<std::string> said;
        AdoptEarlierReservation(model, c.earlier, &said);
        std::string problem = ReserveServiceUrl(model, c.url, &said);
        EXPECT_EQ(problem.substr(0, strlen(c.problem)), c.problem) << c.what;
        EXPECT_EQ(problem.empty(), !*c.problem) << c.what << ": " << problem;
        EXPECT_EQ(model.store, c.storeAfter) << c.what;
        EXPECT_EQ(model.record, c.recordAfter) << c.what;
        EXPECT_EQ(UnreserveServiceUrl(model, &said), "") << c.what;
        EXPECT_EQ(model.store, c.storeAfterUninstall) << c.what << " (uninstalled)";
        EXPECT_EQ(model.record, "") << c.what << " (uninstalled)";
    }
}

} // namespace
} // namespace ktsensors
