// tallymere-cli check, run as a separate process on a device folder prepared by the test.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "archive/backup.h"
#include "archive/qmsg.h"
#include "device_fixture.h"
#include "support/settings.h"

namespace {

using testing_support::ReadHostFile;
using testing_support::WriteHostFile;

struct CliRun {
    int status;
    std::string output;
};

class CheckCommandTest : public testing_support::DeviceTest {
protected:
    void SetUp() override {
        DeviceTest::SetUp();
        std::filesystem::create_directories(Host("Out/Tallymere"));
        tallymere::SetRegistryStr(u"OutputDir", u"\\Out");
    }
    CliRun Check(const std::string& options = "") {
        const std::string command =
            std::string(TALLYMERE_CLI) + " --device '" + device_.string() + "' check " + options + " 2>&1";
        CliRun run{-1, {}};
        FILE* pipe = ::popen(command.c_str(), "r");
        if (pipe == nullptr) return run;
        char buffer[512];
        while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) run.output += buffer;
        const int raw = ::pclose(pipe);
        run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        return run;
    }
    void ArchiveTwo() {
        tallymere::BeginBackup(tallymere::BackupMode::Full);
        for (std::uint8_t n = 1; n <= 2; ++n) {
            std::uint8_t id[20] = {};
            id[0] = n;
            tallymere::qMsg m(nullptr, 20, id);
            m.SetFolder(u"SMS/Inbox");
            m.SetSubject(u"Hi");
            tallymere::BackupMessage(m);
        }
        tallymere::EndBackup();
    }
};

TEST_F(CheckCommandTest, ASoundArchiveExitsWithZero) {
    ArchiveTwo();
    const CliRun run = Check();
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("Index entries: 2 (2 present, 0 absent)"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("Records: 2 in 204 bytes"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("Folders: 1"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("The archive is sound."), std::string::npos) << run.output;
}

TEST_F(CheckCommandTest, ADamagedArchiveListsItsInconsistenciesAndExitsWithOne) {
    ArchiveTwo();
    std::filesystem::resize_file(Host("Out/Tallymere/Messages.dat"), 150);
    WriteHostFile(Host("Out/Tallymere/Folders.dat"), "");
    const std::string before = ReadHostFile(Host("Out/Tallymere/Messages.dat"));
    const CliRun run = Check();
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("Inconsistencies: 2"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("entry 0: the record at offset 0 names folder 0, but Folders.dat has 0 lines"),
              std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("entry 1: the record at offset 102 is cut short"), std::string::npos) << run.output;
    EXPECT_EQ(ReadHostFile(Host("Out/Tallymere/Messages.dat")), before);
}

TEST_F(CheckCommandTest, NoArchiveDirectoryIsNoFault) {
    std::filesystem::remove_all(Host("Out"));
    const CliRun run = Check();
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("No archive at \"\\Out\\Tallymere\" (" + Host("Out/Tallymere").string() + ")."),
              std::string::npos)
        << run.output;
    EXPECT_FALSE(std::filesystem::exists(Host("Out")));
}

TEST_F(CheckCommandTest, RepairRebuildsTheIndexFromTheIntactRecords) {
    ArchiveTwo();
    const std::string ndx = ReadHostFile(Host("Out/Tallymere/Messages.ndx"));
    WriteHostFile(Host("Out/Tallymere/Messages.ndx"), ndx.substr(0, 30));
    CliRun run = Check();
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("Messages.dat: 1 intact records of messages the index does not know (the first at offset "
                              "102)"),
              std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("check --repair rebuilds"), std::string::npos) << run.output;
    run = Check("--repair");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("Messages.ndx rebuilt from 2 intact records: 1 entries kept, 0 pointed at their record, "
                              "0 took their record's identifier, 0 dropped, 1 records indexed anew (not present)."),
              std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("Index entries: 2 (1 present, 1 absent)"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("The archive is sound."), std::string::npos) << run.output;
    EXPECT_EQ(ReadHostFile(Host("Out/Tallymere/Messages.ndx")).substr(28, 20), ndx.substr(28, 20));
}

TEST_F(CheckCommandTest, ADamagedFolderListIsNamedAsSuch) {
    ArchiveTwo();
    WriteHostFile(Host("Out/Tallymere/Folders.dat"), "SMS/Inbox");
    const CliRun run = Check();
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("Folders.dat is damaged: it has 0 lines, but records name folder numbers up to 0"),
              std::string::npos)
        << run.output;
}

// A device where the program has never started has no output directory: check says so, and has
// nothing to check only when there is no archive where the start-up would put it.
TEST_F(CheckCommandTest, ADeviceWhereTheProgramNeverStartedSaysSo) {
    const std::filesystem::path fresh = base_ / "fresh";
    const auto check = [&] {
        const std::string command = std::string(TALLYMERE_CLI) + " --device '" + fresh.string() + "' check 2>&1";
        CliRun run{-1, {}};
        FILE* pipe = ::popen(command.c_str(), "r");
        char buffer[512];
        while (pipe && std::fgets(buffer, sizeof buffer, pipe) != nullptr) run.output += buffer;
        const int raw = pipe ? ::pclose(pipe) : -1;
        run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        return run;
    };
    CliRun run = check();
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("Tallymere has never started on this device"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("No archive at \"\\Program Files\\Tallymere\\Tallymere\" (" + fresh.string() +
                              "/Program Files/Tallymere/Tallymere)."),
              std::string::npos)
        << run.output;
    // Files where the first start would put the archive are checked.
    WriteHostFile(fresh / "Program Files/Tallymere/Tallymere/Messages.ndx", "cut");
    run = check();
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("Archive \"\\Program Files\\Tallymere\\Tallymere\" (" + fresh.string()),
              std::string::npos)
        << run.output;
}

}  // namespace
