#include "app/Autostart.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/OptionsSheet.h"
#include "fixtures/Fixtures.h"

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteAll(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// The sandbox holds XDG_CONFIG_HOME (see SandboxTest): every entry here is a throw-away one.
class AutostartTest : public SandboxTest {
protected:
    std::string Entry() const { return Path("config/autostart/quorvane.desktop"); }
    // Everything in the autostart folder but the entry: what a failed write left behind.
    std::vector<std::string> Leftovers() const {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(Path("config/autostart"), ec))
            if (e.path().filename() != "quorvane.desktop") names.push_back(e.path().filename());
        return names;
    }
    AutostartLaunch launch_{"/usr/bin/quorvane", "", ""};
};

TEST_F(AutostartTest, ExecArgumentsAreQuotedSoThatTheDesktopReadsThemBack) {
    EXPECT_EQ(Autostart::QuoteExecArgument("/usr/bin/quorvane"), "/usr/bin/quorvane");
    EXPECT_EQ(Autostart::QuoteExecArgument("/opt/My Apps/quorvane"), "\"/opt/My Apps/quorvane\"");
    // Inside quotes a backslash is escaped, and again for the string value: four in the file.
    EXPECT_EQ(Autostart::QuoteExecArgument("/a\\b"), "\"/a\\\\\\\\b\"");
    EXPECT_EQ(Autostart::QuoteExecArgument("/x/100%"), "/x/100%%");
    EXPECT_EQ(Autostart::QuoteExecArgument("/x/$HOME"), "\"/x/\\\\$HOME\"");
    for (const std::string& path :
         {std::string("/opt/My Apps/quorvane"), std::string("/a/\"q\"/`b`/$x/back\\slash"),
          std::string("/h/it's #1 (new) & <best>; ~|*?"), std::string("/h/100% sure"),
          std::string("/h/Zürich 東京/store.db")}) {
        std::string exec =
            Autostart::QuoteExecArgument(path) + " --hidden " + Autostart::QuoteExecArgument(path);
        EXPECT_EQ(Autostart::SplitExec(exec), (std::vector<std::string>{path, "--hidden", path}))
            << exec;
    }
}

TEST_F(AutostartTest, OnWritesAnEntryThatStartsTheProgramHiddenWithItsStoreAndOffRemovesIt) {
    EXPECT_FALSE(Autostart::IsOn());
    EXPECT_EQ(Autostart::EntryFile(), Entry());
    launch_ = {"/opt/Quor vane/bin/quorvane", "/home/u/my store.db", "/home/u/data"};
    std::string error;
    ASSERT_TRUE(Autostart::Enable(launch_, &error)) << error;
    EXPECT_TRUE(Autostart::IsOn());

    std::string text = ReadAll(Entry());
    EXPECT_EQ(text.rfind("[Desktop Entry]\n", 0), 0u) << text;
    for (const char* line :
         {"\nType=Application\n", "\nName=Quorvane\n", "\nIcon=quorvane\n", "\nTerminal=false\n",
          "\nX-GNOME-Autostart-enabled=true\n",
          "\nExec=\"/opt/Quor vane/bin/quorvane\" --hidden --registry \"/home/u/my store.db\" "
          "--data-dir /home/u/data\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;

    struct stat st {};
    ASSERT_EQ(::stat(Entry().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    ASSERT_EQ(::stat(Path("config/autostart").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u) << "a folder the program made is the user's alone";
    EXPECT_TRUE(Leftovers().empty());

    // Written again over the old one, in one step.
    launch_ = {"/usr/bin/quorvane", "", ""};
    ASSERT_TRUE(Autostart::Enable(launch_, &error)) << error;
    EXPECT_NE(ReadAll(Entry()).find("\nExec=/usr/bin/quorvane --hidden\n"), std::string::npos);

    ASSERT_TRUE(Autostart::Disable(&error)) << error;
    EXPECT_FALSE(std::filesystem::exists(Entry()));
    EXPECT_FALSE(Autostart::IsOn());
    EXPECT_TRUE(Autostart::Disable(&error)) << "an entry that is not there is off already";
}

TEST_F(AutostartTest, AnEntryIsOnlyOnWhenItIsOursAndNotSwitchedOff) {
    const std::string head = "[Desktop Entry]\nType=Application\nName=Quorvane\n";
    struct Case {
        std::string text;
        bool on;
    } cases[] = {
        {head + "Exec=/usr/local/bin/quorvane --hidden\n", true},
        {head + "Exec = \"/opt/x y/quorvane\"\n", true},
        {head + "Exec=/usr/bin/other\nX-Quorvane-Autostart=true\n", true},
        {head + "Exec=/usr/bin/other --quorvane\n", false},
        {head + "Exec=/usr/bin/quorvane --hidden\nHidden=true\n", false},
        {head + "Exec=/usr/bin/quorvane\nX-GNOME-Autostart-enabled=false\n", false},
        // Keys of another group are not the entry's.
        {"[Desktop Action x]\nExec=/usr/bin/quorvane\n[Desktop Entry]\nExec=/bin/true\n", false},
        {"", false},
    };
    for (const auto& c : cases) {
        WriteAll(Entry(), c.text);
        EXPECT_EQ(Autostart::IsOn(), c.on) << c.text;
    }
    std::filesystem::remove(Entry());
    std::filesystem::create_directory(Entry());
    EXPECT_FALSE(Autostart::IsOn()) << "a folder in the entry's place";
}

TEST_F(AutostartTest, ARelativeConfigHomeIsPassedOverForTheHomeFolder) {
    const char* home = std::getenv("HOME");
    std::string savedHome = home ? home : "";
    ::setenv("HOME", Path("home").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", "relative/config", 1);
    EXPECT_EQ(Autostart::EntryFile(), Path("home/.config/autostart/quorvane.desktop"));
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(Autostart::EntryFile(), Path("home/.config/autostart/quorvane.desktop"));
    std::string error;
    EXPECT_TRUE(Autostart::Enable(launch_, &error)) << error;
    EXPECT_TRUE(std::filesystem::exists(Path("home/.config/autostart/quorvane.desktop")));
    if (home)
        ::setenv("HOME", savedHome.c_str(), 1);
    else
        ::unsetenv("HOME");
    ::setenv("XDG_CONFIG_HOME", Path("config").c_str(), 1);
}

TEST_F(AutostartTest, WhatCannotBeWrittenIsAClearErrorAndLeavesNothingHalfWritten) {
    std::string error;
    // A folder where the entry goes.
    std::filesystem::create_directories(Entry() + "/inside");
    EXPECT_FALSE(Autostart::Enable(launch_, &error));
    EXPECT_EQ(error.rfind(Entry() + " cannot be written: ", 0), 0u) << error;
    EXPECT_TRUE(Leftovers().empty()) << Leftovers().front();
    error.clear();
    EXPECT_FALSE(Autostart::Disable(&error));
    EXPECT_EQ(error.rfind(Entry() + " cannot be removed: ", 0), 0u) << error;
    std::filesystem::remove_all(Entry());

    // A file where the autostart folder goes.
    std::filesystem::remove_all(Path("config/autostart"));
    WriteAll(Path("config/autostart"), "not a folder");
    error.clear();
    EXPECT_FALSE(Autostart::Enable(launch_, &error));
    EXPECT_EQ(error.rfind(Entry() + " cannot be written: ", 0), 0u) << error;
    EXPECT_EQ(ReadAll(Path("config/autostart")), "not a folder");
    std::filesystem::remove(Path("config/autostart"));

    // A path the entry cannot hold.
    for (const std::string& bad :
         {std::string("/opt/q\nExec=/bin/evil"), std::string("/opt/\xff")}) {
        error.clear();
        EXPECT_FALSE(Autostart::Enable({bad, "", ""}, &error));
        EXPECT_EQ(error.rfind(Entry() + " cannot be written: ", 0), 0u) << error;
        EXPECT_FALSE(std::filesystem::exists(Entry()));
    }

    // A folder the user may not write (root writes anywhere).
    if (::geteuid() != 0) {
        std::filesystem::create_directories(Path("config/autostart"));
        ::chmod(Path("config/autostart").c_str(), 0500);
        error.clear();
        EXPECT_FALSE(Autostart::Enable(launch_, &error));
        EXPECT_NE(error.find(Entry()), std::string::npos) << error;
        ::chmod(Path("config/autostart").c_str(), 0700);
        EXPECT_TRUE(Leftovers().empty());
    }
}

// The "Start Quorvane when I log in" box of the Advanced page.
TEST_F(AutostartTest, TheAdvancedPageShowsTheEntryAndWritesItOnlyWhenTheBoxChanged) {
    Autostart::SetCurrentLaunch({"/usr/bin/quorvane", Path("registry.db"), ""});
    {
        COptionsSheet sheet;
        sheet.Display(COptionsSheet::kAdvanced);
        EXPECT_FALSE(sheet.advanced().startAtLogin);
        sheet.advanced().startAtLogin = true;
        sheet.advanced().SetModified();
        ASSERT_TRUE(sheet.Confirm()) << sheet.Confirm().problem.message;
        EXPECT_FALSE(sheet.Confirm().saveFailed);
        EXPECT_TRUE(Autostart::IsOn());
        EXPECT_NE(ReadAll(Entry()).find("--hidden --registry " + Path("registry.db")),
                  std::string::npos);
    }
    // The desktop's session settings switched it off: the page shows that, and saving the
    // page for another change leaves their entry alone.
    WriteAll(Entry(), "[Desktop Entry]\nExec=/usr/bin/quorvane --hidden\nHidden=true\n");
    {
        COptionsSheet sheet;
        sheet.Display(COptionsSheet::kAdvanced);
        EXPECT_FALSE(sheet.advanced().startAtLogin);
        sheet.advanced().attempts = "5";
        sheet.advanced().SetModified();
        auto outcome = sheet.Confirm();
        EXPECT_TRUE(outcome && !outcome.saveFailed);
        EXPECT_NE(ReadAll(Entry()).find("Hidden=true"), std::string::npos);
    }
    // Cleared, the entry goes; one that cannot be removed fails the save with its name.
    std::filesystem::remove(Entry());
    std::string error;
    ASSERT_TRUE(Autostart::Enable({"/usr/bin/quorvane", "", ""}, &error));
    {
        COptionsSheet sheet;
        sheet.Display(COptionsSheet::kAdvanced);
        EXPECT_TRUE(sheet.advanced().startAtLogin);
        sheet.advanced().startAtLogin = false;
        sheet.advanced().SetModified();
        std::filesystem::remove(Entry());
        std::filesystem::create_directories(Entry() + "/inside");
        auto outcome = sheet.Confirm();
        EXPECT_TRUE(outcome.saveFailed);
        EXPECT_NE(sheet.advanced().autostartError().find(Entry()), std::string::npos);
        EXPECT_TRUE(sheet.advanced().modified()) << "the page keeps what was not saved";
        std::filesystem::remove_all(Entry());
        outcome = sheet.Confirm();
        EXPECT_FALSE(outcome.saveFailed);
        EXPECT_TRUE(sheet.advanced().autostartError().empty());
    }
    Autostart::SetCurrentLaunch({});
}

}  // namespace
