// tallymere-cli check, run as a separate process on a device folder prepared by the test.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

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
    std::filesystem::remove_all(Host("Out/Tallymere"));
    const CliRun run = Check();
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("No archive at \"\\Out\\Tallymere\" (" + Host("Out/Tallymere").string() + ")."),
              std::string::npos)
        << run.output;
    EXPECT_FALSE(std::filesystem::exists(Host("Out/Tallymere")));
}

// Mended: an output directory that was gone read as "no archive yet", with status 0.
TEST_F(CheckCommandTest, AnOutputDirectoryThatIsMissingOrUnreadableIsAFailure) {
    std::filesystem::remove_all(Host("Out"));
    CliRun run = Check();
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("The output directory \"\\Out\" (" + Host("Out").string() + ") does not exist."),
              std::string::npos)
        << run.output;
    EXPECT_FALSE(std::filesystem::exists(Host("Out")));
    WriteHostFile(Host("Out"), "a file");
    run = Check("--json");
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("is not a directory.\",\"status\":1"), std::string::npos) << run.output;
    std::filesystem::remove(Host("Out"));
    std::filesystem::create_directories(Host("Out/Tallymere"));
    std::filesystem::permissions(Host("Out"), std::filesystem::perms::owner_write | std::filesystem::perms::owner_exec);
    run = Check();
    std::filesystem::permissions(Host("Out"), std::filesystem::perms::owner_all);
    if (::geteuid() != 0) {
        EXPECT_EQ(run.status, 1) << run.output;
        EXPECT_NE(run.output.find("cannot be read."), std::string::npos) << run.output;
    }
}

// compact: dead bytes counted by check, then removed; the archive stays sound.
TEST_F(CheckCommandTest, CheckCountsTheDeadBytesAndCompactReclaimsThem) {
    ArchiveTwo();
    const std::string data = ReadHostFile(Host("Out/Tallymere/Messages.dat"));
    std::string ndx = ReadHostFile(Host("Out/Tallymere/Messages.ndx"));
    WriteHostFile(Host("Out/Tallymere/Messages.dat"), "dead" + data);
    ndx[20] = static_cast<char>(ndx[20] + 4);
    ndx[28 + 20] = static_cast<char>(ndx[28 + 20] + 4);
    WriteHostFile(Host("Out/Tallymere/Messages.ndx"), ndx);
    CliRun run = Check();
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("4 bytes of Messages.dat lie in no indexed record: compact reclaims them."),
              std::string::npos)
        << run.output;
    const std::string cli = std::string(TALLYMERE_CLI) + " --device '" + device_.string() + "' compact";
    const auto compact = [&](const std::string& options) {
        CliRun r{-1, {}};
        FILE* pipe = ::popen((cli + options + " 2>&1").c_str(), "r");
        char buffer[512];
        while (pipe && std::fgets(buffer, sizeof buffer, pipe) != nullptr) r.output += buffer;
        const int raw = pipe ? ::pclose(pipe) : -1;
        r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        return r;
    };
    run = compact("");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output, "Messages.dat compacted: 4 bytes reclaimed (2 records in 204 bytes).\n");
    EXPECT_EQ(ReadHostFile(Host("Out/Tallymere/Messages.dat")), data);
    run = compact(" --json");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("\"reclaimed_bytes\":0,\"records\":2,\"status\":0,\"outcome\":\"nothing_to_do\""),
              std::string::npos)
        << run.output;
    // An archive that is not sound is left to check --repair.
    WriteHostFile(Host("Out/Tallymere/Messages.ndx"), ndx.substr(0, 28));
    run = compact("");
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("The archive is not sound: nothing was compacted."), std::string::npos) << run.output;
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

// Mended: a control character in Folders.dat, an impossible time in a record and a damaged
// export list all passed for sound; the advice names only what --repair mends.
TEST_F(CheckCommandTest, DamageCheckOnceMissedIsFoundAndTheAdviceFitsIt) {
    ArchiveTwo();
    WriteHostFile(Host("Out/Tallymere/Folders.dat"), std::string("SMS/In\0box\n", 11));
    CliRun run = Check();
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("Folders.dat: line 0 holds the control character 0"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("check --repair rebuilds the damaged Folders.dat lines"), std::string::npos)
        << run.output;
    EXPECT_EQ(run.output.find("rebuilds Messages.ndx"), std::string::npos) << run.output;
    // These messages are not on the phone: the line cannot be rebuilt, and the repair says so.
    run = Check("--repair");
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("Folders.dat lines that could not be rebuilt (no message of their folder is on the "
                              "phone): 0."),
              std::string::npos)
        << run.output;
    WriteHostFile(Host("Out/Tallymere/Folders.dat"), "SMS/Inbox\n");

    // A delivery time past the year 9999 (field 12 of the first record, after its texts).
    std::string data = ReadHostFile(Host("Out/Tallymere/Messages.dat"));
    data[56 + 2 * 2 + 4 + 7] = '\x7f';
    WriteHostFile(Host("Out/Tallymere/Messages.dat"), data);
    run = Check();
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("entry 0: the record at offset 0 holds a time after the year 9999"), std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("check --repair cannot mend the other inconsistencies."), std::string::npos)
        << run.output;
    EXPECT_EQ(run.output.find("check --repair rebuilds"), std::string::npos) << run.output;
}

TEST_F(CheckCommandTest, ADamagedExportListIsFoundAndRepairKeepsEveryWholeEntry) {
    ArchiveTwo();
    std::filesystem::create_directories(Host("Out/Tallyport"));
    std::string list;
    for (char n = 1; n <= 3; ++n) list += std::string(1, n) + std::string(19, 'i') + std::string("\0\0\0\0\1\0\0\0", 8);
    // A byte too many after the first entry, and the third entry twice.
    WriteHostFile(Host("Out/Tallyport/Messages.ndx"), list.substr(0, 28) + "?" + list.substr(28) + list.substr(56));
    CliRun run = Check();
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("Export list: 4 entries"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("The export list is damaged: 1 pieces (1 bytes) that are no whole entry, 1 repeated "
                              "identifiers"),
              std::string::npos)
        << run.output;
    run = Check("--repair");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(ReadHostFile(Host("Out/Tallyport/Messages.ndx")), list);
    EXPECT_FALSE(std::filesystem::exists(Host("Out/Tallyport/Messages.ndx.bak")));
    // No archive, but a damaged export list: not "no archive yet" with status 0.
    std::filesystem::remove_all(Host("Out/Tallymere"));
    WriteHostFile(Host("Out/Tallyport/Messages.ndx"), list + "cut");
    run = Check();
    EXPECT_EQ(run.status, 1) << run.output;
}

// A device where the program has never started has no output directory: check says so, and has
// nothing to check only when there is no archive where the start-up would put it.
TEST_F(CheckCommandTest, ADeviceWhereTheProgramNeverStartedSaysSo) {
    const std::filesystem::path fresh = base_ / "fresh";
    testing_support::ProvisionDevice(fresh.string());
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
