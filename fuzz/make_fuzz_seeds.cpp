// Writes the seed corpus of the fuzz targets, made by the program itself: small archives
// written by the archive writer, as the files each target takes.
//
// Usage: make_fuzz_seeds <corpus directory>; writes entry_id/, folder/ and restore/ below it.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "archive/backup.h"
#include "archive/qmsg.h"
#include "fuzz_device.h"

namespace {

using tallymere::qMsg;

qMsg Message(std::uint8_t n, std::u16string_view folder, bool rich) {
    std::uint8_t id[20];
    for (std::uint8_t i = 0; i < 20; ++i) id[i] = static_cast<std::uint8_t>(n * 31 + i);
    qMsg m(nullptr, 20, id);
    m.SetFolder(folder);
    m.SetSubject(rich ? u"Gr\u00FC\u00DFe \U0001F600" : u"Hi");
    m.SetSenderEmail(u"+4915100");
    m.SetMessageClass(rich ? u"IPM.MMS" : u"IPM.SMStext");
    m.SetMessageFlags(n % 2);
    m.SetDeliveryTime({n * 1000u, 0x01D80000});
    const std::uint8_t body[] = {'O', 0, 'k', 0};
    m.SetBody(body, sizeof body);
    if (rich) {
        m.SetRecipientCount(2);
        m.SetRecipientType(0, 1);
        m.SetDisplayName(0, u"Ann");
        m.SetRecipientType(1, 2);
        m.SetEmailAddress(1, u"+49170");
        m.SetHasAttach(1);
        m.SetAttachmentCount(2);
        const std::uint8_t data[] = {0, 0xFF, 0, 0x7F};
        for (std::uint32_t a = 0; a < 2; ++a) {
            m.SetAttachNum(a, a);
            m.SetAttachMethod(a, 1);
            m.SetAttachSize(a, 4 - a);
            m.SetAttachData(a, data);
            m.SetAttachFilename(a, a == 0 ? u"a.jpg" : u"b");
        }
    }
    return m;
}

void Put(const std::filesystem::path& file, const std::string& bytes) {
    std::filesystem::create_directories(file.parent_path());
    fuzzing::WriteHostFile(file, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

void Clear(const std::filesystem::path& dir) {
    for (const char* name : {"Messages.ndx", "Messages.dat", "Folders.dat"}) std::filesystem::remove(dir / name);
}

// Takes the archive now in the device as seed number `n` of every target.
void Take(const std::filesystem::path& corpus, int n) {
    const auto& dir = fuzzing::ArchiveDir();
    const std::string ndx = fuzzing::ReadHostFile(dir / "Messages.ndx");
    const std::string folders = fuzzing::ReadHostFile(dir / "Folders.dat");
    const std::string dat = fuzzing::ReadHostFile(dir / "Messages.dat");
    const std::string name = "seed-" + std::to_string(n);
    Put(corpus / "entry_id" / name, ndx);
    Put(corpus / "folder" / name, folders);
    std::string combined;
    combined.push_back(static_cast<char>(ndx.size() & 0xFF));
    combined.push_back(static_cast<char>(ndx.size() >> 8));
    combined.push_back(static_cast<char>(folders.size() & 0xFF));
    combined.push_back(static_cast<char>(folders.size() >> 8));
    Put(corpus / "restore" / name, combined + ndx + folders + dat);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_fuzz_seeds <corpus directory>\n");
        return 2;
    }
    const std::filesystem::path corpus = argv[1];
    const auto& dir = fuzzing::ArchiveDir();

    // 0: an empty archive.
    tallymere::BeginBackup(tallymere::BackupMode::Full);
    tallymere::EndBackup();
    Take(corpus, 0);

    // 1: one smallest record.
    Clear(dir);
    tallymere::BeginBackup(tallymere::BackupMode::Full);
    std::uint8_t id[20] = {7};
    tallymere::BackupMessage(qMsg(nullptr, 20, id));
    tallymere::EndBackup();
    Take(corpus, 1);

    // 2: three messages in two folders, one of them gone at the second pass.
    Clear(dir);
    tallymere::BeginBackup(tallymere::BackupMode::Full);
    tallymere::BackupMessage(Message(1, u"SMS/Inbox", false));
    tallymere::BackupMessage(Message(2, u"MMS/Inbox", true));
    tallymere::BackupMessage(Message(3, u"SMS/Sent Items", false));
    tallymere::EndBackup();
    tallymere::BeginBackup(tallymere::BackupMode::Full);
    tallymere::BackupMessage(Message(1, u"SMS/Archiv \u00C4", false));
    tallymere::BackupMessage(Message(2, u"MMS/Inbox", true));
    tallymere::EndBackup();
    Take(corpus, 2);
    return 0;
}
