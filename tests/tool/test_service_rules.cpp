// The Windows service's rules in the tool, run on the host: recognising our own textfile, the
// interval written on its command line, and the folder walk over fake folders.
#include <gtest/gtest.h>

#include <map>

#include "folder_rules.h"
#include "formats.h"
#include "options.h"
#include "readings.h"
#include "service_rules.h"

namespace ktsensors {
namespace {

// Our textfile is recognised by the Prometheus format's first line, in every document it writes.
TEST(ServiceRules, OurTextfileIsKnownByItsFirstLine)
{
    std::vector<Reading> readings(2);
    readings[0].loaded = false;
    readings[1].sensorCount = 1;
    readings[1].sensors.resize(1);
    for (const Reading &reading : readings) {
        std::string text = FindFormat("prometheus")->render(reading, RenderOptions{});
        EXPECT_TRUE(KtIsOurTextfile(text.data(), text.size())) << text.substr(0, 60);
    }
    for (std::string other : {"127.0.0.1 localhost\n", "# HELP kovaltherm_upx 1\n", "# HELP", ""})
        EXPECT_FALSE(KtIsOurTextfile(other.data(), other.size())) << other;
}

// The interval as the service's command line carries it: short, and read back unchanged.
TEST(ServiceRules, SecondsAreWrittenAsTheyAreRead)
{
    const std::pair<double, const char *> cases[] = {
        {30, "30"}, {0.5, "0.5"}, {0.001, "0.001"}, {86400, "86400"}, {100, "100"}, {12345.678, "12345.678"}, {0.1, "0.1"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(SecondsText(c.first), c.second);
}

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

} // namespace
} // namespace ktsensors
