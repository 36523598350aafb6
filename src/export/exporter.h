// xExport: writes messages as text files under the export directory "Tallyport" of the
// output directory, in a tree of directories that mirrors their folder paths, each with its
// attachments and, for a multimedia message, the matching file of the device's MMS client
// beside it under the same file number.
//
// The export list "Tallyport\Messages.ndx" holds the entry identifier of every message
// exported so far, across runs, so that each message is exported once. It is loaded when the
// exporter opens, grows on disk by one entry as each message's files are complete, and is
// written back whole when the exporter closes. A message's text file is written under a
// temporary name ("<name>.txt.new") and takes its name when complete. So after any
// interruption no text file is empty or cut short, and the next export writes again at most
// the one message that was being written.
//
// A caller opens the process-wide exporter, hands it messages and closes it:
//
//     OpenExporter();
//     int exported = 0;
//     for (each message read from the store) exported += exporter->ExportOne(message);
//     CloseExporter();
#pragma once

#include <cstdint>
#include <memory>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "archive/entry_id.h"
#include "export/file_name.h"
#include "export/mms.h"
#include "platform/filesys.h"

namespace tallymere {

class qMsg;

// The suffix of a text file being written.
inline constexpr std::u16string_view kUnfinished = u".new";

// What an export directory holds when an exporter first meets it.
struct DirectoryStock {
    std::uint32_t textFiles = 0;      // entries "*.txt"
    std::set<std::uint32_t> numbers;  // the numbers their names begin with, and those of:
    // the text files an interrupted export left unfinished ("<name>.txt.new"), by the name the
    // text file was to have: its message, when exported again, takes that number again and so
    // writes over the files it had written already.
    std::map<std::u16string, std::uint32_t> unfinished;
};
DirectoryStock TakeStockOfDirectory(const std::u16string& dir);
// The unfinished text files of a directory: their names without the suffix, with their numbers.
std::map<std::u16string, std::uint32_t> UnfinishedTextFiles(const std::u16string& dir);

// The number a file name begins with (`has`: whether it begins with one).
std::uint32_t LeadingNumber(std::u16string_view name, bool* has);

class xExport {
public:
    // Directory slots prepared at opening; the table grows beyond them when needed.
    static constexpr std::uint32_t kDirSlots = 1000;

    // Copies OutputDir and loads the export list (creating an empty one when there is none).
    xExport();
    // Writes the export list back whole and removes the unfinished text files of messages that
    // were not exported again.
    ~xExport();
    xExport(const xExport&) = delete;
    xExport& operator=(const xExport&) = delete;

    // Exports a message not exported before and returns 1; returns 0 for one exported
    // already. Either way the directories of its folder path exist afterwards.
    int ExportOne(const qMsg& message);
    // Whether the message is in the export list, from its identifier and folder path alone (a
    // message that is needs no reading); the directories of its folder path exist afterwards,
    // as after ExportOne.
    bool Exported(const qMsg& message);

    // Position of an export directory (relative to "Tallyport") met by this exporter.
    std::optional<std::uint32_t> FindDir(std::u16string_view relPath) const;
    // Remembers an export directory whose next text file gets `counter`; returns its position.
    std::uint32_t AddDir(std::u16string_view relPath, std::uint32_t counter);

    // Writes each attachment of the message as "<number>_<its name>" beside its text file; a
    // name another file of the message already has gets "_2", "_3", ... before its extension.
    void GetAttachments(const qMsg& message, std::u16string_view relPath, std::uint32_t number);
    // For a multimedia message, copies its file of the device's MMS client beside its text
    // file; a file that cannot be matched is silently left out.
    void ExportMMS(const qMsg& message, std::u16string_view relPath, std::uint32_t number);
    // Copies `byteCount` bytes of the MMS client's file `sourceName` to "<number>_<name>",
    // made distinct from the message's other files like an attachment's name.
    void DecodeMMS(std::u16string_view sourceName, std::u16string_view relPath, std::uint32_t number,
                   std::uint32_t byteCount);

    xEntryID exportIds;
    std::u16string outputDir;
    std::uint32_t dirCount = 0;
    std::vector<std::u16string> dirPaths;    // relative to "Tallyport", components joined by "\"
    std::vector<std::uint32_t> dirCounters;  // the number the next text file there gets
    std::vector<DirectoryStock> dirStock;    // what each directory held when first met
    // Whether the stock of each directory was taken (and its counter set from it): at the first
    // message exported into it, so that a pass with nothing new lists no directory.
    std::vector<bool> dirStockTaken;

    // ---- Kept between passes (the resident program's exporter, see OpenKeptExporter) ----
    // Each directory met is watched from before its stock is taken, and the stock follows the
    // exporter's own writes, so that it stays what a listing would find.
    bool keptInStep = false;
    std::vector<std::unique_ptr<platform::DirectoryWatch>> dirWatch;
    // Each directory held open, once a text file was exported into it (null before, and always
    // for an exporter kept in step, whose directories may be replaced between its passes).
    std::vector<std::unique_ptr<platform::Directory>> dirHandles;
    // Brings what the exporter knows up to date before another pass: false when the export list
    // or the output directory has changed since Settle (the exporter must be opened afresh);
    // directories changed by others are forgotten (met again, listed again), and every
    // directory numbers its next text file as a fresh exporter would.
    bool Refresh();
    // The end of a pass of a kept exporter: what its close would do to the directories (the
    // unfinished text files of messages not exported again go), and notes the export list's state.
    void Settle();
    // Whether the export list on disk is still the one Settle left.
    bool ListUnchanged() const;
    // The export list is dropped without being written back (its file changed under it).
    bool abandonList = false;

private:
    // A kept exporter is about to write, rename or remove the entry `name` of directory `d`.
    void WillWrite(std::uint32_t d, const std::u16string& name);
    std::uint32_t currentDir_ = 0;  // the directory of the message ExportOne is exporting
    std::uint64_t listSize_ = 0;    // the export list's size and time at Settle
    platform::FILETIME listTime_;
    bool listExists_ = false;

    // The files written so far for the message ExportOne is exporting: its text file, its
    // attachments and its MMS copy.
    MessageFileNames messageFiles;
    // The MMS client's directory, listed once for the pass.
    MmsListing mmsListing;

    // Creates each level of the message's export directory not met before and numbers it
    // after the text files it already holds; returns the position of the full path.
    std::uint32_t EnterDirectories(const std::u16string& folderPath);
    // Takes the stock of directory `d`, unless taken, and numbers it after its text files.
    void TakeStock(std::uint32_t d);
    // Directory `d` held open for its text files; null when kept in step or it cannot be
    // opened (its files are then opened by their paths).
    platform::Directory* Handle(std::uint32_t d);
    // Creates (or empties) the file `name` of the current message's export directory `relPath`
    // for writing, through the directory held open when there is one; null on failure.
    std::unique_ptr<platform::File> CreateInDirectory(std::u16string_view relPath, const std::u16string& name,
                                                      std::u16string_view mode = u"wb");
    // Exported, with the position of the message's export directory.
    bool Exported(const qMsg& message, std::uint32_t* dir);

    // The folder path EnterDirectories was last given and the position it returned: a walk
    // hands over a folder's messages one after the other.
    std::u16string lastFolderPath_;
    std::optional<std::uint32_t> lastPosition_;
};

// The folder path split at every "/"; empty components stay ("" gives one empty component).
std::vector<std::u16string> SplitFolderPath(std::u16string_view folderPath);

// The process-wide exporter: empty while none is open.
extern std::unique_ptr<xExport>& exporter;

// Opens the process-wide exporter (closing one left open first).
void OpenExporter();
// Closes the process-wide exporter, if one is open, saving its export list.
void CloseExporter();

// The resident program's exporter, kept between batches of arrivals so that an arrival's cost
// does not grow with the export tree: the export list stays loaded and each export directory's
// stock stays known, in step with the exporter's own writes and, through change notifications,
// with everybody else's. OpenKeptExporter makes it the process-wide exporter (refreshed, or new
// when there is none or it no longer holds); KeepExporter settles it and takes it back (the
// process-wide exporter is null again); DropKeptExporter closes it. OpenExporter drops it first,
// since another pass is about to change the export tree.
void OpenKeptExporter();
void KeepExporter();
void DropKeptExporter();

}  // namespace tallymere
