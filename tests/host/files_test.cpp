// rm and put as cedev-seal does them inside a device's sandbox, here on a folder of the
// test's standing in for the device's root: the names they take, the links they never
// follow, and what they say when they stop.
#include "files.h"
#include "names.h"
#include "report.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <atomic>
#include <unistd.h>

// What cedev-seal would print: the last message, for the tests to read (in place of
// report.cpp).
static std::string g_message;

int Fail(const std::string &message)
{
    g_message = message;
    return kExitFail;
}

int Refuse(const std::string &message)
{
    g_message = message;
    return kExitUsage;
}

int Usage(const char *)
{
    g_message = "usage";
    return kExitUsage;
}

namespace {

TEST(DeviceNames, TakesANameOfAnyScriptAsOneName)
{
    for (const char *name : {"a.txt", "naïve Жук ਪ一 日本 😀 𠀀.txt", "with space", ".hidden", "con1", "com0",
                             "lpt10", "a..b"}) {
        EXPECT_EQ(NameProblem(name), "") << name;
    }
    EXPECT_EQ(NameProblem(std::string(255, 'n')), "");
}

TEST(DeviceNames, RefusesWhatTheDeviceWouldNotKeepAsGiven)
{
    struct {
        std::string name;
        const char *why;
    } bad[] = {
        {"", "cannot hold"},
        {"a\\b", "cannot hold"},
        {"a/b", "cannot hold"},
        {"a:b", "cannot hold"},
        {"a*b", "cannot hold"},
        {"a?b", "cannot hold"},
        {"a\"b", "cannot hold"},
        {"a<b", "cannot hold"},
        {"a>b", "cannot hold"},
        {"a|b", "cannot hold"},
        {"...", "cannot hold"},
        {"ctl\x01", "cannot hold"},
        {"line\nbreak", "cannot hold"},
        {"del\x7f", "cannot hold"},
        // Not UTF-8: put could write it, but no device command could name it again.
        {"bad\xff.txt", "not UTF-8"},
        {"latin1-caf\xe9", "not UTF-8"},
        {"overlong\xc0\xaf", "not UTF-8"},
        {"surrogate\xed\xa0\x80", "not UTF-8"},
        {"cut\xe2\x80", "not UTF-8"},
        {"name.", "end with a dot or a space"},
        {"name ", "end with a dot or a space"},
        {std::string(256, 'n'), "longer than 255 bytes"},
        {"con", "name the system's devices"},
        {"NUL.txt", "name the system's devices"},
        {"com1", "name the system's devices"},
        {"lpt9.log", "name the system's devices"},
        {"aux", "name the system's devices"},
        {"conin$", "name the system's devices"},
        {"prn .txt", "name the system's devices"},
    };
    for (const auto &b : bad) {
        std::string why = NameProblem(b.name);
        EXPECT_NE(why.find(b.why), std::string::npos) << "'" << b.name << "' gave '" << why << "'";
    }
}

TEST(DevicePaths, SplitsTheHelpersAnswerAndChecksIt)
{
    std::vector<std::string> names;
    EXPECT_EQ(SplitDevicePath("", &names), "");
    EXPECT_TRUE(names.empty());
    EXPECT_EQ(SplitDevicePath("Flash Disk\\a b\\日本.txt", &names), "");
    EXPECT_EQ(names, (std::vector<std::string>{"Flash Disk", "a b", "日本.txt"}));
    for (const char *bad : {"a\\\\b", "\\a", "a\\", "a\\..\\b", ".", "a/b", "a\\b\x1b", "bad\xff"}) {
        names.clear();
        EXPECT_EQ(SplitDevicePath(bad, &names), "the device gave cedev a path it does not take") << bad;
    }
    names.clear();
    EXPECT_EQ(SplitDevicePath(std::string(256, 'p'), &names), "a name in the path is longer than 255 bytes");
}

// A device's root of the test's own.
class DeviceRoot : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/cedev-files-test.XXXXXX";
        root_ = mkdtemp(tmpl);
        ASSERT_EQ(mkdir(Path("Flash Disk").c_str(), 0755), 0);
        ASSERT_EQ(mkdir(Path("Windows").c_str(), 0755), 0);
        g_message.clear();
    }
    void TearDown() override { EXPECT_EQ(system(("rm -rf '" + root_ + "'").c_str()), 0); }

    std::string Path(const std::string &rel) const { return root_ + "/" + rel; }
    bool Exists(const std::string &rel) const
    {
        struct stat st;
        return !lstat(Path(rel).c_str(), &st);
    }
    void Touch(const std::string &rel) const { close(open(Path(rel).c_str(), O_WRONLY | O_CREAT, 0644)); }
    std::string Read(const std::string &rel) const
    {
        std::string text;
        char buf[4096];
        int fd = open(Path(rel).c_str(), O_RDONLY);
        ssize_t n;
        while (fd >= 0 && (n = read(fd, buf, sizeof(buf))) > 0)
            text.append(buf, n);
        if (fd >= 0)
            close(fd);
        return text;
    }
    std::vector<std::string> Entries(const std::string &rel) const
    {
        std::vector<std::string> names;
        if (DIR *d = opendir(Path(rel).c_str())) {
            while (dirent *e = readdir(d)) {
                if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                    names.push_back(e->d_name);
            }
            closedir(d);
        }
        return names;
    }

    int Rm(const std::string &path, bool recursive = false)
    {
        std::vector<std::string> args = {root_, path};
        if (recursive)
            args.push_back("-r");
        std::vector<char *> argv;
        for (std::string &a : args)
            argv.push_back(&a[0]);
        return RemoveCommand(static_cast<int>(argv.size()), argv.data());
    }

    // put, with the bytes as its standard input, and its options.
    int Put(const std::string &path, const std::string &name, const std::string &bytes,
            std::vector<std::string> options = {})
    {
        std::string input = root_ + ".input";
        int fd = open(input.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        close(fd);
        int saved = dup(0);
        fd = open(input.c_str(), O_RDONLY);
        dup2(fd, 0);
        close(fd);
        std::vector<std::string> args = {root_, path, name};
        args.insert(args.end(), options.begin(), options.end());
        std::vector<char *> argv;
        for (std::string &a : args)
            argv.push_back(&a[0]);
        int rc = PutCommand(static_cast<int>(argv.size()), argv.data());
        dup2(saved, 0);
        close(saved);
        unlink(input.c_str());
        return rc;
    }

    std::string root_;
};

TEST_F(DeviceRoot, PutTakesOnlyANameRmCanRemoveAgain)
{
    EXPECT_EQ(Put("Flash Disk", "caf\xc3\xa9 😀.txt", "x"), kExitOk) << g_message;
    EXPECT_TRUE(Exists("Flash Disk/caf\xc3\xa9 😀.txt"));
    EXPECT_EQ(Rm("Flash Disk\\CAF\xc3\xa9 😀.TXT"), kExitOk) << g_message;  // found without regard to ASCII case
    EXPECT_FALSE(Exists("Flash Disk/caf\xc3\xa9 😀.txt"));

    EXPECT_EQ(Put("Flash Disk", "caf\xe9.txt", "x"), kExitFail);
    EXPECT_EQ(g_message, "cannot put 'caf\xe9.txt': the name is not UTF-8 text, and a device file name is Unicode: "
                         "rename the file first");
    EXPECT_FALSE(Exists("Flash Disk/caf\xe9.txt"));
}

// A copy cut short (its sender interrupted or killed) is never taken for the file: the
// size it was to have is checked, and nothing is left of it.
TEST_F(DeviceRoot, PutOfACopyCutShortChangesNothing)
{
    ASSERT_EQ(Put("Flash Disk", "kept.txt", "old"), kExitOk) << g_message;
    EXPECT_EQ(Put("Flash Disk", "kept.txt", "new, but cut", {"--size", "100"}), kExitFail);
    EXPECT_EQ(g_message, "the copy of \\Flash Disk\\kept.txt was cut short (12 of 100 bytes); nothing was changed");
    EXPECT_EQ(Read("Flash Disk/kept.txt"), "old");
    EXPECT_EQ(Entries("Flash Disk"), std::vector<std::string>{"kept.txt"});
    EXPECT_EQ(Put("Flash Disk", "kept.txt", "whole", {"--size", "5"}), kExitOk) << g_message;
    EXPECT_EQ(Read("Flash Disk/kept.txt"), "whole");
}

// With --folders, the folders on the way are made; without, a missing one is refused.
TEST_F(DeviceRoot, PutMakesMissingFoldersOnlyWhenAsked)
{
    EXPECT_EQ(Put("Windows\\AppMgr\\Install", "a.cab", "x"), kExitFail);
    EXPECT_FALSE(Exists("Windows/AppMgr"));
    EXPECT_EQ(Put("Windows\\AppMgr\\Install", "a.cab", "x", {"--folders"}), kExitOk) << g_message;
    EXPECT_EQ(Read("Windows/AppMgr/Install/a.cab"), "x");
}

TEST_F(DeviceRoot, RmRemovesALinkItselfAndFollowsNoneOnTheWay)
{
    Touch("Windows/win.ini");
    ASSERT_EQ(symlink("../Windows", Path("Flash Disk/winlink").c_str()), 0);
    EXPECT_EQ(Rm("Flash Disk\\winlink\\win.ini"), kExitFail);
    EXPECT_EQ(g_message, "\\Flash Disk\\winlink is a link or a mount point, and cedev does not follow them");
    EXPECT_TRUE(Exists("Windows/win.ini"));
    EXPECT_EQ(Rm("Flash Disk\\winlink", true), kExitOk) << g_message;
    EXPECT_FALSE(Exists("Flash Disk/winlink"));
    EXPECT_TRUE(Exists("Windows/win.ini"));
}

TEST_F(DeviceRoot, RmOfAFolderWithALinkInsideRemovesNothing)
{
    ASSERT_EQ(mkdir(Path("Flash Disk/tree").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(Path("Flash Disk/tree/a").c_str(), 0755), 0);
    Touch("Flash Disk/tree/a/file.txt");
    ASSERT_EQ(symlink("../../Windows", Path("Flash Disk/tree/a/link").c_str()), 0);
    EXPECT_EQ(Rm("Flash Disk\\tree"), kExitFail);
    EXPECT_EQ(g_message, "cannot remove \\Flash Disk\\tree: the folder is not empty (use -r)");
    EXPECT_EQ(Rm("Flash Disk\\tree", true), kExitFail);
    EXPECT_EQ(g_message, "refusing to remove \\Flash Disk\\tree, nothing removed: \\Flash Disk\\tree\\a\\link is a "
                         "link or a mount point, and cedev does not follow them");
    EXPECT_TRUE(Exists("Flash Disk/tree/a/file.txt"));
    EXPECT_EQ(Rm("Flash Disk", true), kExitUsage);
    EXPECT_EQ(g_message, "refusing to remove \\Flash Disk: it is one of the device's own folders");
}

// A folder that a program of the device keeps filling while rm -r removes it: rm
// says what happened and that it removed nothing more, never "use -r".
TEST_F(DeviceRoot, RmRecursiveOfAFolderChangingUnderItSaysSo)
{
    std::string said;
    // The race is won by the writer nearly always; a few rounds make it certain.
    for (int round = 0; round < 200 && said.empty(); ++round) {
        std::string folder = "Flash Disk/busy" + std::to_string(round);
        ASSERT_EQ(mkdir(Path(folder).c_str(), 0755), 0);
        for (int i = 0; i < 50; ++i)
            Touch(folder + "/old" + std::to_string(i));
        std::atomic<bool> stop(false);
        std::thread writer([&] {
            for (int i = 0; !stop; ++i)
                Touch(folder + "/new" + std::to_string(i % 1000));
        });
        int rc = Rm("Flash Disk\\busy" + std::to_string(round), true);
        stop = true;
        writer.join();
        if (rc != kExitOk)
            said = g_message;
    }
    ASSERT_FALSE(said.empty()) << "the folder never changed under rm -r";
    EXPECT_EQ(said.find("use -r"), std::string::npos) << said;
    EXPECT_EQ(said.rfind("stopped removing \\Flash Disk\\busy", 0), 0u) << said;
    EXPECT_NE(said.find("changed while it was being removed: something new was put in it; nothing more was removed"),
              std::string::npos)
        << said;
}

}  // namespace
