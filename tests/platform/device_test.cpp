#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

#include "device_fixture.h"
#include "platform/faults.h"
#include "platform/file.h"
#include "platform/filesys.h"
#include "platform/kernel.h"
#include "platform/registry.h"
#include "platform/text.h"

namespace {

using testing_support::DeviceTest;
using testing_support::ReadHostFile;
using testing_support::WriteHostFile;

// Sets environment variables for one test and puts the old values back afterwards.
class ScopedEnv {
public:
    ScopedEnv(std::initializer_list<const char*> names) {
        for (const char* n : names) {
            const char* v = std::getenv(n);
            saved_.emplace_back(n, v ? std::optional<std::string>(v) : std::nullopt);
        }
    }
    ~ScopedEnv() {
        for (const auto& [name, value] : saved_) {
            if (value) {
                ::setenv(name.c_str(), value->c_str(), 1);
            } else {
                ::unsetenv(name.c_str());
            }
        }
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST(DeviceFolder, ChosenFromOptionThenEnvironmentThenXdgThenHome) {
    ScopedEnv env{"TALLYMERE_DEVICE", "XDG_DATA_HOME", "HOME"};
    ::setenv("TALLYMERE_DEVICE", "/tmp/from-env", 1);
    EXPECT_EQ(platform::device::ChooseFolder("/tmp/explicit"), "/tmp/explicit");
    EXPECT_EQ(platform::device::ChooseFolder(""), "/tmp/from-env");
    ::unsetenv("TALLYMERE_DEVICE");
    ::setenv("XDG_DATA_HOME", "/tmp/xdg", 1);
    EXPECT_EQ(platform::device::ChooseFolder(""), "/tmp/xdg/tallymere/device");
    ::unsetenv("XDG_DATA_HOME");
    ::setenv("HOME", "/tmp/home", 1);
    EXPECT_EQ(platform::device::ChooseFolder(""), "/tmp/home/.local/share/tallymere/device");
}

TEST_F(DeviceTest, FreshFolderIsPrivateAndProvisioned) {
    struct stat st {};
    ASSERT_EQ(::stat(device_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_TRUE(std::filesystem::is_directory(Host("My Documents/UAContents/MMS UA")));
    EXPECT_TRUE(std::filesystem::is_directory(Host("Program Files/Tallymere")));
    EXPECT_TRUE(std::filesystem::is_directory(Host(".platform")));
    platform::RegKey key;
    ASSERT_EQ(platform::RegKey::Open(platform::HKEY_LOCAL_MACHINE, u"SOFTWARE\\Apps\\Quorbel Tallymere", &key), 0);
    std::u16string value;
    ASSERT_EQ(key.QueryString(u"InstallDir", &value), 0);
    EXPECT_EQ(value, u"\\Program Files\\Tallymere");
}

// Every mode bit of `path` and of everything below it that is not its owner's.
std::vector<std::string> Shared(const std::filesystem::path& path) {
    std::vector<std::string> shared;
    auto look = [&](const std::filesystem::path& p) {
        struct stat st {};
        if (::lstat(p.c_str(), &st) == 0 && (st.st_mode & 077) != 0) shared.push_back(p.string());
    };
    look(path);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path)) look(entry.path());
    return shared;
}

// Mended: a folder made beforehand (mkdir, 0755) was adopted as it was, and the store, the
// settings and every file below it were created as the umask said (0644), readable by anyone.
TEST(DevicePrivacy, EverythingCreatedIsPrivateWhateverTheUmaskAndAnAdoptedFolderBecomesPrivate) {
    const std::filesystem::path base = testing_support::MakeTempDir("tallymere-private-");
    const mode_t before = ::umask(0);
    const std::filesystem::path adopted = base / "made-beforehand";
    ASSERT_EQ(::mkdir(adopted.c_str(), 0755), 0);
    std::string error;
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(platform::device::Mount(adopted, &error)) << error;
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << "an adopted empty folder needs no warning";
    {
        auto file = platform::File::Open(u"\\Program Files\\note.txt", u"w");
        ASSERT_TRUE(file && file->WriteText(u"x") && file->Close());
    }
    EXPECT_TRUE(platform::CreateDirectoryW(u"\\Storage Card"));
    platform::RegKey key;
    ASSERT_EQ(platform::RegKey::Create(platform::HKEY_LOCAL_MACHINE, u"Software\\Probe", &key), 0);
    ASSERT_EQ(key.SetString(u"Value", u"1"), 0);
    platform::device::Unmount();
    EXPECT_EQ(Shared(adopted), std::vector<std::string>());
    ::umask(before);
    std::filesystem::remove_all(base);
}

TEST(DevicePrivacy, ADeviceFolderOthersCanReadGetsOneWarningNamingTheFix) {
    const std::filesystem::path base = testing_support::MakeTempDir("tallymere-private-");
    const std::filesystem::path device = base / "my phone";
    testing_support::ProvisionDevice(device);
    std::string error;
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(platform::device::Mount(device, &error)) << error;
    platform::device::Unmount();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");

    ::chmod(device.c_str(), 0755);
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(platform::device::Mount(device, &error)) << error;
    platform::device::Unmount();
    const std::string warning = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(warning.begin(), warning.end(), '\n'), 1) << warning;
    EXPECT_NE(warning.find("other users can read the device folder " + device.string()), std::string::npos) << warning;
    EXPECT_NE(warning.find("chmod 700 '" + device.string() + "'\n"), std::string::npos) << warning;
    struct stat st {};
    ASSERT_EQ(::stat(device.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u) << "the warning changes nothing itself";
    std::filesystem::remove_all(base);
}

TEST_F(DeviceTest, LongNamesFitTheHostAndStayDistinct) {
    const std::u16string longA(100, u'\u4e2d');  // 300 bytes in UTF-8
    std::u16string longB = longA;
    longB.back() = u'\u6587';
    const auto hostA = platform::device::HostPath(u"\\Dir\\" + longA + u".jpg");
    const auto hostB = platform::device::HostPath(u"\\Dir\\" + longB + u".jpg");
    ASSERT_TRUE(hostA && hostB);
    EXPECT_LE(hostA->filename().string().size(), 255u);
    EXPECT_NE(*hostA, *hostB);
    EXPECT_EQ(hostA->extension(), ".jpg");
    EXPECT_EQ(*hostA, *platform::device::HostPath(u"Dir\\" + longA + u".jpg")) << "same name, same host file";
    ASSERT_TRUE(platform::CreateDirectoryW(u"\\Dir"));
    auto f = platform::File::Open(u"\\Dir\\" + longA + u".jpg", u"wb");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->Write("x", 1), 1u);
}

TEST_F(DeviceTest, UPlusFFFFReadsAsACharacterNotTheEnd) {
    WriteHostFile(Host("f.txt"),
                  "a\xEF\xBF\xBF"
                  "b");
    auto f = platform::File::Open(u"f.txt", u"rb");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->ReadWideChar(), u'a');
    EXPECT_EQ(f->ReadWideChar(), 0xFFFFu);
    EXPECT_EQ(f->ReadWideChar(), u'b');
    EXPECT_EQ(f->ReadWideChar(), platform::WEOF_VALUE);
}

TEST_F(DeviceTest, ProvisioningHappensOnceOnAFreshFolder) {
    std::filesystem::remove_all(Host("My Documents"));
    std::string error;
    ASSERT_TRUE(platform::device::Mount(device_, &error)) << error;
    EXPECT_FALSE(std::filesystem::exists(Host("My Documents"))) << "the owner's removal stays";
}

TEST_F(DeviceTest, RemountKeepsWhatTheDeviceHolds) {
    platform::RegKey key;
    ASSERT_EQ(platform::RegKey::Create(platform::HKEY_LOCAL_MACHINE, u"SOFTWARE\\Apps\\Quorbel Tallymere", &key), 0);
    ASSERT_EQ(key.SetString(u"InstallDir", u"\\Elsewhere"), 0);
    std::string error;
    ASSERT_TRUE(platform::device::Mount(device_, &error)) << error;
    std::u16string value;
    ASSERT_EQ(key.QueryString(u"InstallDir", &value), 0);
    EXPECT_EQ(value, u"\\Elsewhere");
}

TEST_F(DeviceTest, PathsMapBelowTheRootAndEscapesAreRefused) {
    EXPECT_EQ(*platform::device::HostPath(u"\\a\\b.txt"), device_ / "a" / "b.txt");
    EXPECT_EQ(*platform::device::HostPath(u"a\\\\b.txt"), device_ / "a" / "b.txt");
    EXPECT_EQ(*platform::device::HostPath(u"\\"), device_);
    EXPECT_EQ(*platform::device::HostPath(u"\\Zoë"), device_ / "Zo\xC3\xAB");
    for (std::u16string_view bad : std::initializer_list<std::u16string_view>{
             u"\\..\\x", u"..", u"\\a\\.\\b", u"a/../../etc", u"\\a\\..", std::u16string_view(u"a\0b", 3)}) {
        EXPECT_FALSE(platform::device::HostPath(bad).has_value()) << platform::ToUtf8(bad);
    }
    EXPECT_EQ(platform::File::Open(u"\\..\\escape.txt", u"w"), nullptr);
    EXPECT_FALSE(std::filesystem::exists(base_ / "escape.txt"));
    EXPECT_FALSE(platform::CreateDirectoryW(u"\\..\\escaped"));
    EXPECT_FALSE(std::filesystem::exists(base_ / "escaped"));
}

TEST_F(DeviceTest, CreateDirectoryReportsExistingAndMissingParent) {
    ASSERT_TRUE(platform::CreateDirectoryW(u"\\New"));
    EXPECT_FALSE(platform::CreateDirectoryW(u"\\New"));
    EXPECT_EQ(platform::GetLastError(), platform::ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(platform::CreateDirectoryW(u"\\Missing\\Child"));
    EXPECT_NE(platform::GetLastError(), platform::ERROR_ALREADY_EXISTS);
}

TEST_F(DeviceTest, TextModeWritesUtf8AndReadsBackCodeUnits) {
    const std::u16string text = u"SMS/Inbox\n\u00e9\U0001F600\n";
    {
        auto f = platform::File::Open(u"\\t.txt", u"w");
        ASSERT_NE(f, nullptr);
        ASSERT_TRUE(f->WriteText(text));
    }
    EXPECT_EQ(ReadHostFile(Host("t.txt")), "SMS/Inbox\n\xC3\xA9\xF0\x9F\x98\x80\n");
    auto f = platform::File::Open(u"\\t.txt", u"a+");
    ASSERT_NE(f, nullptr);
    std::u16string back;
    for (std::uint32_t c; (c = f->ReadWideChar()) != platform::WEOF_VALUE;) back.push_back(static_cast<char16_t>(c));
    EXPECT_EQ(back, text);
}

TEST_F(DeviceTest, TextReadingNeverFailsOnInvalidBytes) {
    WriteHostFile(Host("bad.txt"), std::string("a\xFF\xC3(b\xF0\x9F", 7));
    auto f = platform::File::Open(u"bad.txt", u"rb");
    ASSERT_NE(f, nullptr);
    std::u16string back;
    for (std::uint32_t c; (c = f->ReadWideChar()) != platform::WEOF_VALUE;) back.push_back(static_cast<char16_t>(c));
    EXPECT_EQ(back, u"a\uFFFD\uFFFD(b\uFFFD");
}

TEST_F(DeviceTest, AppendModesCreateAndReadFromTheStart) {
    WriteHostFile(Host("d.bin"), "abc");
    auto f = platform::File::Open(u"\\d.bin", u"ab+");
    ASSERT_NE(f, nullptr);
    char buf[3];
    ASSERT_EQ(f->Read(buf, 3), 3u);
    EXPECT_EQ(std::string(buf, 3), "abc");
    ASSERT_EQ(f->Write("de", 2), 2u);
    f.reset();
    EXPECT_EQ(ReadHostFile(Host("d.bin")), "abcde");
    EXPECT_EQ(platform::File::Open(u"\\d.bin", u"x"), nullptr);
    EXPECT_NE(platform::File::Open(u"\\created.bin", u"ab+"), nullptr);
    EXPECT_TRUE(std::filesystem::exists(Host("created.bin")));
}

TEST_F(DeviceTest, SearchMatchesPatternsAndReportsSizesAndTimes) {
    WriteHostFile(Host("Dir/one.txt"), "1");
    WriteHostFile(Host("Dir/TWO.TXT"), "22");
    WriteHostFile(Host("Dir/three.dat"), "333");
    WriteHostFile(Host("Dir/.hidden"), "");
    std::filesystem::create_directory(Host("Dir/Sub"));
    const platform::FILETIME stamp = platform::FromUnixTime(1206872010, 1'000'000);
    ASSERT_TRUE(platform::SetFileCreationTime(u"\\Dir\\one.txt", stamp));

    auto txt = platform::FindFiles(u"\\Dir\\*.txt");
    ASSERT_TRUE(txt.has_value());
    ASSERT_EQ(txt->size(), 2u);
    EXPECT_EQ((*txt)[0].name, u"TWO.TXT");
    EXPECT_EQ((*txt)[0].size, 2u);
    EXPECT_EQ((*txt)[1].name, u"one.txt");
    EXPECT_EQ((*txt)[1].creationTime, stamp);

    auto all = platform::FindFiles(u"\\Dir\\*");
    ASSERT_TRUE(all.has_value());
    EXPECT_EQ(all->size(), 5u);
    for (const auto& e : *all) {
        if (e.name == u"Sub") {
            EXPECT_TRUE(e.attributes & platform::FILE_ATTRIBUTE_DIRECTORY);
        }
        if (e.name == u".hidden") {
            EXPECT_TRUE(e.attributes & platform::FILE_ATTRIBUTE_HIDDEN);
        }
    }
    EXPECT_FALSE(platform::FindFiles(u"\\Dir\\*.none").has_value());
    EXPECT_FALSE(platform::FindFiles(u"\\Missing\\*.txt").has_value());
}

// Names come back as the device spells them, whatever their script, in name order.
TEST_F(DeviceTest, SearchGivesNamesInAnyScriptInOrder) {
    WriteHostFile(Host("Dir/Grüße.txt"), "1");
    WriteHostFile(Host("Dir/Привет.txt"), "22");
    WriteHostFile(Host("Dir/a.txt"), "333");
    auto found = platform::FindFiles(u"\\Dir\\*");
    ASSERT_TRUE(found.has_value());
    ASSERT_EQ(found->size(), 3u);
    EXPECT_EQ((*found)[0].name, u"Grüße.txt");
    EXPECT_EQ((*found)[1].name, u"a.txt");
    EXPECT_EQ((*found)[2].name, u"Привет.txt");
    EXPECT_EQ((*found)[2].size, 2u);
}

TEST_F(DeviceTest, MoveRefusesToReplaceUnlessAsked) {
    WriteHostFile(Host("a"), "A");
    WriteHostFile(Host("b"), "B");
    EXPECT_FALSE(platform::MoveFileW(u"\\a", u"\\b"));
    EXPECT_EQ(platform::GetLastError(), platform::ERROR_ALREADY_EXISTS);
    EXPECT_EQ(ReadHostFile(Host("b")), "B");
    EXPECT_TRUE(platform::MoveFileExW(u"\\a", u"\\b", platform::MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(ReadHostFile(Host("b")), "A");
    EXPECT_FALSE(std::filesystem::exists(Host("a")));
    EXPECT_FALSE(platform::MoveFileW(u"\\a", u"\\c"));
    EXPECT_EQ(platform::GetLastError(), platform::ERROR_FILE_NOT_FOUND);
}

// A failed move tells a missing source from a missing target directory, and a target that is
// a directory or a link to nothing is not replaced either.
TEST_F(DeviceTest, MoveReportsWhatIsMissingAndRefusesAnyExistingTarget) {
    WriteHostFile(Host("a"), "A");
    EXPECT_FALSE(platform::MoveFileW(u"\\a", u"\\NoDir\\a"));
    EXPECT_EQ(platform::GetLastError(), platform::ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(platform::MoveFileW(u"\\missing", u"\\NoDir\\a"));
    EXPECT_EQ(platform::GetLastError(), platform::ERROR_FILE_NOT_FOUND);
    std::filesystem::create_directory(Host("Dir"));
    EXPECT_FALSE(platform::MoveFileW(u"\\a", u"\\Dir"));
    EXPECT_EQ(platform::GetLastError(), platform::ERROR_ALREADY_EXISTS);
    std::filesystem::create_symlink(Host("nowhere"), Host("dangling"));
    EXPECT_FALSE(platform::MoveFileW(u"\\a", u"\\dangling"));
    EXPECT_EQ(platform::GetLastError(), platform::ERROR_ALREADY_EXISTS);
    EXPECT_EQ(ReadHostFile(Host("a")), "A");
}

// A directory held open opens and renames its files by name as the path calls do: names mapped
// alike (a long one fitted as by path), no replacing of an existing target, a missing source
// told apart, separators refused; once the directory is removed it takes no new files.
TEST_F(DeviceTest, ADirectoryHeldOpenOpensAndRenamesByNameAsThePathCallsDo) {
    ASSERT_TRUE(platform::CreateDirectoryW(u"\\Out"));
    auto dir = platform::Directory::Open(u"\\Out");
    ASSERT_NE(dir, nullptr);
    const std::u16string longName = std::u16string(200, u'\u00e9') + u".txt";
    for (const std::u16string& name : {std::u16string(u"a.txt.part"), longName}) {
        auto file = dir->OpenFile(name, u"w");
        ASSERT_NE(file, nullptr);
        EXPECT_TRUE(file->WriteText(u"x\u00e9"));
        EXPECT_TRUE(file->Close());
        auto again = platform::File::Open(u"\\Out\\" + name, u"rb");
        ASSERT_NE(again, nullptr);
        char bytes[8] = {};
        EXPECT_EQ(again->Read(bytes, sizeof bytes), 3u);
    }
    WriteHostFile(Host("Out/b.txt"), "B");
    EXPECT_FALSE(dir->MoveFile(u"a.txt.part", u"b.txt"));
    EXPECT_EQ(platform::GetLastError(), platform::ERROR_ALREADY_EXISTS);
    EXPECT_EQ(ReadHostFile(Host("Out/b.txt")), "B");
    EXPECT_TRUE(dir->MoveFile(u"a.txt.part", u"a.txt"));
    EXPECT_EQ(ReadHostFile(Host("Out/a.txt")), "x\xC3\xA9");
    EXPECT_FALSE(std::filesystem::exists(Host("Out/a.txt.part")));
    EXPECT_FALSE(dir->MoveFile(u"a.txt.part", u"c.txt"));
    EXPECT_EQ(platform::GetLastError(), platform::ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(dir->OpenFile(u"sub\\c.txt", u"w"), nullptr);
    EXPECT_EQ(platform::GetLastError(), platform::ERROR_INVALID_NAME);
    EXPECT_FALSE(dir->MoveFile(u"a.txt", u"../a.txt"));
    EXPECT_EQ(platform::GetLastError(), platform::ERROR_INVALID_NAME);
    for (const char16_t* notAName : {u"..", u".", u""}) {
        EXPECT_EQ(dir->OpenFile(notAName, u"w"), nullptr) << "a name that leaves or is the directory";
        EXPECT_EQ(platform::GetLastError(), platform::ERROR_INVALID_NAME);
    }
    std::filesystem::remove_all(Host("Out"));
    EXPECT_EQ(dir->OpenFile(u"d.txt", u"w"), nullptr);
    EXPECT_EQ(platform::GetLastError(), platform::ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(platform::Directory::Open(u"\\Out"), nullptr);
}

// A file only written gathers its bytes itself: whatever the sizes and positions of the writes,
// the host file ends up with exactly the bytes written, where they were written.
TEST_F(DeviceTest, AFileOnlyWrittenHoldsEveryByteWhereItWasWritten) {
    ASSERT_TRUE(platform::CreateDirectoryW(u"\\W"));
    std::string expected;
    {
        auto f = platform::File::Open(u"\\W\\f.bin", u"wb");
        ASSERT_NE(f, nullptr);
        // Pieces of a few KB: one with nothing gathered before it (handed over at once) and
        // one amid small writes (gathered with them, in its place).
        const std::string first(6000, 'a'), amid(5000, 'm');
        ASSERT_EQ(f->Write(first.data(), first.size()), first.size());
        expected += first;
        for (int i = 0; i < 1000; ++i) {  // small writes, more than one buffer's worth in all
            const std::string piece = std::to_string(i) + ",";
            ASSERT_EQ(f->Write(piece.data(), piece.size()), piece.size());
            expected += piece;
            if (i == 10) {
                ASSERT_EQ(f->Write(amid.data(), amid.size()), amid.size());
                expected += amid;
            }
        }
        const std::string big(200 * 1024, 'b');  // larger than the buffer: written through
        ASSERT_EQ(f->Write(big.data(), big.size()), big.size());
        expected += big;
        EXPECT_EQ(f->Tell(), static_cast<std::int64_t>(expected.size()));
        ASSERT_TRUE(f->Flush());
        EXPECT_EQ(ReadHostFile(Host("W/f.bin")), expected) << "flushed bytes are on the host";
        ASSERT_TRUE(f->Seek(2, SEEK_SET));
        ASSERT_EQ(f->Write("XY", 2), 2u);
        expected.replace(2, 2, "XY");
        EXPECT_EQ(f->Tell(), 4);
        EXPECT_EQ(f->Size(), static_cast<std::int64_t>(expected.size()));
        char none[4];
        EXPECT_EQ(f->Read(none, sizeof none), 0u) << "nothing is read from a file only written";
        EXPECT_EQ(f->ReadWideChar(), platform::WEOF_VALUE);
        // Let go without Close: what it holds still reaches the file.
    }
    EXPECT_EQ(ReadHostFile(Host("W/f.bin")), expected);

    auto t = platform::File::Open(u"\\W\\f.bin", u"w");  // emptied again
    ASSERT_NE(t, nullptr);
    EXPECT_TRUE(t->WriteText(u"caf\u00e9 "));
    EXPECT_TRUE(t->Truncate(3));
    EXPECT_TRUE(t->Sync());
    EXPECT_TRUE(t->Close());
    EXPECT_EQ(t->Write("x", 1), 0u) << "nothing is written once closed";
    EXPECT_EQ(ReadHostFile(Host("W/f.bin")), "caf");

    platform::faults::Plan("fwrite", 1);
    auto failing = platform::File::Open(u"\\W\\g.bin", u"wb");
    ASSERT_NE(failing, nullptr);
    EXPECT_EQ(failing->Write("x", 1), 0u);
    platform::faults::Reset();
}

// A copy moves the bytes from where the source stands, as far as asked or as the source goes,
// and both files go on after them; into a stream the bytes are read and written.
TEST_F(DeviceTest, ACopyTakesTheBytesFromTheSourcesPositionAsFarAsItGoes) {
    std::string source(150 * 1024, '\0');
    for (std::size_t i = 0; i < source.size(); ++i) source[i] = static_cast<char>(i * 7 % 251);
    WriteHostFile(Host("src.bin"), source);
    auto in = platform::File::Open(u"\\src.bin", u"rb");
    ASSERT_NE(in, nullptr);
    char head[10];
    ASSERT_EQ(in->Read(head, sizeof head), sizeof head);  // the stream holds more than it handed out
    auto out = platform::File::Open(u"\\copy.bin", u"wb");
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(out->Write("<", 1), 1u);
    EXPECT_EQ(out->CopyFrom(*in, 100'000), std::optional<std::uint64_t>(100'000));
    char next[3];
    ASSERT_EQ(in->Read(next, sizeof next), sizeof next);
    EXPECT_EQ(std::string(next, 3), source.substr(100'010, 3)) << "the source reads on after the copy";
    EXPECT_EQ(out->CopyFrom(*in, 1'000'000), std::optional<std::uint64_t>(source.size() - 100'013))
        << "a source that ends first gives what it has";
    ASSERT_EQ(out->Write(">", 1), 1u);
    ASSERT_TRUE(out->Close());
    EXPECT_EQ(ReadHostFile(Host("copy.bin")), "<" + source.substr(10, 100'000) + source.substr(100'013) + ">");

    ASSERT_TRUE(in->Seek(0, SEEK_SET));
    auto appended = platform::File::Open(u"\\appended.bin", u"ab");
    ASSERT_NE(appended, nullptr);
    EXPECT_EQ(appended->CopyFrom(*in, 70'000), std::optional<std::uint64_t>(70'000));
    ASSERT_TRUE(appended->Close());
    EXPECT_EQ(ReadHostFile(Host("appended.bin")), source.substr(0, 70'000));

    platform::faults::Plan("fwrite", 2);  // the second 64 KiB
    auto failing = platform::File::Open(u"\\failing.bin", u"wb");
    ASSERT_TRUE(in->Seek(0, SEEK_SET));
    EXPECT_EQ(failing->CopyFrom(*in, source.size()), std::nullopt);
    platform::faults::Reset();
}

// A pattern of "*" and plain ASCII is matched on the host's names before they are converted:
// in either case, never by a name whose ending only looks alike in another script.
TEST_F(DeviceTest, SearchBySuffixMatchesEitherCaseAndNothingElse) {
    for (const char* name : {"1.txt.new", "2.TXT.NEW", "Grüße.Txt.New", "3.txt", "4.txt.new.x", "new", "5.txt.nеw"}) {
        WriteHostFile(Host(std::string("Dir/") + name), "x");
    }
    auto found = platform::FindFiles(u"\\Dir\\*.txt.new");
    ASSERT_TRUE(found.has_value());
    std::vector<std::u16string> names;
    for (const auto& e : *found) names.push_back(e.name);
    EXPECT_EQ(names, (std::vector<std::u16string>{u"1.txt.new", u"2.TXT.NEW", u"Grüße.Txt.New"}));
    // A pattern with other characters is matched as before.
    auto umlaut = platform::FindFiles(u"\\Dir\\*SSE.txt.new");
    EXPECT_FALSE(umlaut.has_value()) << "ß is not folded to ss";
    auto ue = platform::FindFiles(u"\\Dir\\*ÜSSE.TXT.NEW");
    EXPECT_FALSE(ue.has_value());
    auto ss = platform::FindFiles(u"\\Dir\\*üße.txt.new");
    ASSERT_TRUE(ss.has_value());
    EXPECT_EQ(ss->size(), 1u);
}

TEST_F(DeviceTest, VersionIsWindowsMobileSixUnlessConfigured) {
    platform::OSVERSIONINFO info;
    ASSERT_TRUE(platform::GetVersionEx(&info));
    EXPECT_EQ(info.dwMajorVersion, 5u);
    EXPECT_EQ(info.dwMinorVersion, 2u);
    WriteHostFile(Host(".platform/os-version"), "6.1\n");
    ASSERT_TRUE(platform::GetVersionEx(&info));
    EXPECT_EQ(info.dwMajorVersion, 6u);
    EXPECT_EQ(info.dwMinorVersion, 1u);
}

TEST(Kernel, InterlockedCountersAreAtomic) {
    std::atomic<platform::LONG> counter{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) {
                platform::InterlockedIncrement(&counter);
                platform::InterlockedIncrement(&counter);
                platform::InterlockedDecrement(&counter);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter.load(), 40000);
}

}  // namespace

namespace {

TEST_F(DeviceTest, ADirectoryWatchSeesEveryKindOfChangeAndKeepsSayingSo) {
    EXPECT_EQ(platform::DirectoryWatch::Start(u"\\No Such Folder"), nullptr);
    ASSERT_TRUE(platform::CreateDirectoryW(u"\\Watched"));
    auto quiet = platform::DirectoryWatch::Start(u"\\Watched");
    ASSERT_NE(quiet, nullptr);
    EXPECT_FALSE(quiet->Changed());
    // Reading a file changes nothing.
    WriteHostFile(Host("Watched/a"), "1");
    auto watch = platform::DirectoryWatch::Start(u"\\Watched");
    ASSERT_NE(watch, nullptr);
    EXPECT_EQ(ReadHostFile(Host("Watched/a")), "1");
    EXPECT_FALSE(watch->Changed());
    EXPECT_TRUE(quiet->Changed());  // a was created after it began
    EXPECT_TRUE(quiet->Changed());
    struct Case {
        const char* what;
        std::function<void()> change;
    };
    const std::vector<Case> cases = {
        {"written in place", [&] { WriteHostFile(Host("Watched/a"), "22"); }},
        {"re-stamped",
         [] {
             ASSERT_TRUE(platform::SetFileCreationTime(u"\\Watched\\a", platform::FILETIME{1, 1}));
         }},
        {"renamed", [] { ASSERT_TRUE(platform::MoveFileW(u"\\Watched\\a", u"\\Watched\\b")); }},
        {"removed", [] { ASSERT_TRUE(platform::DeleteFileW(u"\\Watched\\b")); }},
        {"replaced",
         [&] {
             std::filesystem::rename(Host("Watched"), Host("Gone"));
             std::filesystem::create_directory(Host("Watched"));
         }},
    };
    for (const Case& c : cases) {
        auto w = platform::DirectoryWatch::Start(u"\\Watched");
        ASSERT_NE(w, nullptr) << c.what;
        c.change();
        EXPECT_TRUE(w->Changed()) << c.what;
    }
    platform::faults::Plan("FindFirstChangeNotification", 1);
    EXPECT_EQ(platform::DirectoryWatch::Start(u"\\Watched"), nullptr);
}

// A watcher that keeps what it knows in step with its own writes counts only the others'.
TEST_F(DeviceTest, ADirectoryWatchTellsTheCallersOwnChangesFromEverybodyElses) {
    ASSERT_TRUE(platform::CreateDirectoryW(u"\\Kept"));
    auto watch = platform::DirectoryWatch::Start(u"\\Kept");
    ASSERT_NE(watch, nullptr);
    watch->Expect(u"\\Kept\\1_mine.txt.new");
    watch->Expect(u"\\Kept\\1_mine.txt");
    WriteHostFile(Host("Kept/1_mine.txt.new"), "text");
    ASSERT_TRUE(platform::MoveFileW(u"\\Kept\\1_mine.txt.new", u"\\Kept\\1_mine.txt"));
    EXPECT_FALSE(watch->Changed()) << "only expected entries were touched";
    watch->ForgetExpected();
    // Once forgotten, the same name counts again.
    WriteHostFile(Host("Kept/1_mine.txt"), "changed by someone else");
    EXPECT_TRUE(watch->Changed());

    auto other = platform::DirectoryWatch::Start(u"\\Kept");
    ASSERT_NE(other, nullptr);
    other->Expect(u"\\Kept\\2_mine.txt");
    WriteHostFile(Host("Kept/2_mine.txt"), "mine");
    WriteHostFile(Host("Kept/3_theirs.txt"), "theirs");
    EXPECT_TRUE(other->Changed()) << "an entry nobody expected";
    // A path in another directory cannot be expected: the watch takes it for a change.
    auto third = platform::DirectoryWatch::Start(u"\\Kept");
    ASSERT_NE(third, nullptr);
    third->Expect(u"\\Elsewhere\\x.txt");
    EXPECT_TRUE(third->Changed());
}

}  // namespace
