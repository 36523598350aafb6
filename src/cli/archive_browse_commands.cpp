// archive list, archive show and archive export-xml: looking into the archive and taking its
// messages out, without changing it. They read only the archive's files (never the message
// store), so they take no program lock and work while another program holds the device.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "archive/archive_view.h"
#include "archive/folder.h"
#include "archive/qmsg.h"
#include "cli/commands.h"
#include "cli/console_ui.h"
#include "export/android_xml.h"
#include "export/text_layout.h"
#include "platform/device.h"
#include "platform/file.h"
#include "platform/filesys.h"
#include "platform/text.h"
#include "remote/exit_status.h"
#include "remote/reports.h"

namespace cli {

namespace {

using Json = nlohmann::ordered_json;

std::string Dump(const Json& j) { return j.dump(-1, ' ', false, Json::error_handler_t::replace); }

std::string Utf8(std::u16string_view text) { return platform::ToUtf8(text); }

// A usage error: its line on standard error and, with --json, its object on standard output.
int Usage(bool json, const std::string& command, const std::string& words) {
    std::fprintf(stderr, "tallymere-cli: %s\n", words.c_str());
    if (json) std::printf("%s\n", remote::ErrorJson(command, remote::kExitUsage, words).c_str());
    return remote::kExitUsage;
}

// A file or directory named on the command line, as a device path: a device path ("\My
// Documents\x.xml") as it is, a path on this computer only when it lies in the device folder.
std::optional<std::u16string> DevicePathFor(const std::string& given) {
    if (!given.empty() && given[0] == '\\') return platform::FromUtf8(given);
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(given, ec).lexically_normal();
    if (ec) return std::nullopt;
    const std::filesystem::path root = platform::device::Root().lexically_normal();
    const std::filesystem::path relative = absolute.lexically_relative(root);
    if (relative.empty() || *relative.begin() == "..") return std::nullopt;
    std::u16string path;
    for (const auto& part : relative) {
        if (part == ".") continue;
        path += u'\\';
        path += platform::FromUtf8(part.string());
    }
    return path.empty() ? std::nullopt : std::optional(path);
}

std::string OutsideDevice(const std::string& given) {
    return given + " lies outside the device folder (" + platform::device::Root().string() +
           "): give a device path such as \\My Documents\\" + std::filesystem::path(given).filename().string() +
           " or a path inside the device folder";
}

// Creates a device directory and the ones above it.
bool MakeDirectories(const std::u16string& path) {
    for (std::size_t at = path.find(u'\\', 1);; at = path.find(u'\\', at + 1)) {
        const std::u16string part = path.substr(0, at);
        if (!part.empty() && !platform::PathExists(part) && !platform::CreateDirectoryW(part)) return false;
        if (at == std::u16string::npos) return true;
    }
}

// `name` in `dir`, or with "_2", "_3", ... before its extension when a file has that name.
std::u16string FreeName(const std::u16string& dir, const std::u16string& name) {
    const std::size_t dot = name.rfind(u'.');
    const bool hasExtension = dot != std::u16string::npos && dot > 0 && dot + 1 < name.size();
    const std::u16string stem = hasExtension ? name.substr(0, dot) : name;
    const std::u16string extension = hasExtension ? name.substr(dot) : u"";
    std::u16string candidate = name;
    for (std::uint32_t n = 2; platform::PathExists(dir + u"\\" + candidate); ++n) {
        candidate = stem + u"_" + platform::FromUtf8(std::to_string(n)) + extension;
    }
    return candidate;
}

std::u16string SafeAttachmentName(const std::u16string& name) {
    if (name.empty() || name == u"." || name == u"..") return u"attachment";
    std::u16string safe = name;
    for (char16_t& c : safe) {
        if (c == u'\\' || c == u'/' || c < 0x20) c = u'_';
    }
    return safe;
}

// ---- archive list ----

struct ListOptions {
    std::string path;
    bool present = false;
    bool deleted = false;
    std::string grep;
    bool json = false;
};

int RunList(const remote::GlobalOptions& options, const ListOptions& o) {
    const bool json = o.json || options.json;
    const std::string command = "archive list";
    if (!remote::MountDevice(options)) return remote::kExitFailure;
    tallymere::ArchiveView view;
    std::u16string folder = tallymere::FolderLine(platform::FromUtf8(o.path));
    while (!folder.empty() && folder.back() == u'/') folder.pop_back();
    if (!o.path.empty()) {
        const bool known = std::any_of(view.folders.begin(), view.folders.end(),
                                       [&](const std::u16string& f) { return tallymere::FolderIsWithin(f, folder); });
        if (!known || folder.empty())
            return Usage(json, command, "archive list " + o.path + ": the archive holds no such folder");
    }
    const auto wanted = [&](bool present) { return (!o.present || present) && (!o.deleted || !present); };
    const std::u16string needle = tallymere::FoldCase(platform::FromUtf8(o.grep));
    const bool messages = !o.path.empty() || !o.grep.empty();
    tallymere::qMsg msg(nullptr, 0, nullptr);
    std::uint32_t unreadable = 0;

    if (!messages) {
        struct Counts {
            std::uint32_t present = 0, deleted = 0;
        };
        std::map<std::u16string, Counts> byFolder;
        for (std::uint32_t i = 0; i < view.Count(); ++i) {
            if (!view.Load(i, msg)) {
                ++unreadable;
                continue;
            }
            Counts& c = byFolder[msg.folderPath];
            (view.Present(i) ? c.present : c.deleted) += 1;
        }
        Counts total;
        Json folders = Json::array();
        std::uint32_t shown = 0;
        std::string text;
        for (const auto& [path, c] : byFolder) {
            if (!((c.present > 0 && wanted(true)) || (c.deleted > 0 && wanted(false)))) continue;
            ++shown;
            total.present += c.present;
            total.deleted += c.deleted;
            folders.push_back({{"path", Utf8(path)}, {"present", c.present}, {"deleted", c.deleted}});
            text += Utf8(path) + ": " + std::to_string(c.present + c.deleted) + " messages (" +
                    std::to_string(c.present) + " present, " + std::to_string(c.deleted) + " deleted)\n";
        }
        if (json) {
            std::printf("%s\n", Dump({{"command", command},
                                      {"status", remote::kExitDone},
                                      {"folders", folders},
                                      {"archived", total.present + total.deleted},
                                      {"present", total.present},
                                      {"deleted", total.deleted},
                                      {"unreadable", unreadable}})
                                    .c_str());
            return remote::kExitDone;
        }
        std::fputs(text.c_str(), stdout);
        std::printf("%u archived messages in %u folders (%u present, %u deleted).\n", total.present + total.deleted,
                    shown, total.present, total.deleted);
        if (unreadable > 0) std::printf("%u archived messages could not be read.\n", unreadable);
        return remote::kExitDone;
    }

    std::vector<tallymere::ArchivedSummary> found;
    for (std::uint32_t i = 0; i < view.Count(); ++i) {
        if (!wanted(view.Present(i))) continue;
        if (!view.Load(i, msg)) {
            ++unreadable;
            continue;
        }
        if (!o.path.empty() && !tallymere::FolderIsWithin(msg.folderPath, folder)) continue;
        if (!needle.empty() && !tallymere::MessageContains(msg, needle)) continue;
        found.push_back(tallymere::Summarize(msg, i, view.ids[i], view.Present(i)));
    }
    std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
        return platform::ToTicks(a.time) < platform::ToTicks(b.time);
    });
    if (json) {
        Json list = Json::array();
        for (const auto& s : found) {
            Json to = Json::array();
            for (const auto& t : s.to) to.push_back(Utf8(t));
            list.push_back({{"id", s.id},
                            {"state", s.present ? "present" : "deleted"},
                            {"time", tallymere::IsoTime(s.time)},
                            {"folder", Utf8(s.folder)},
                            {"from", Utf8(s.from)},
                            {"to", to},
                            {"subject", Utf8(s.subject)}});
        }
        std::printf("%s\n", Dump({{"command", command},
                                  {"status", remote::kExitDone},
                                  {"messages", list},
                                  {"count", found.size()},
                                  {"unreadable", unreadable}})
                                .c_str());
        return remote::kExitDone;
    }
    for (const auto& s : found) {
        std::string to;
        for (std::size_t t = 0; t < s.to.size(); ++t) to += (t > 0 ? ", " : "") + Utf8(s.to[t]);
        const std::string time = tallymere::IsoTime(s.time);
        std::printf("%s  %-7s  %-20s  %s -> %s  %s%s\n", s.id.c_str(), s.present ? "present" : "deleted",
                    time.empty() ? "-" : time.c_str(), s.from.empty() ? "-" : Utf8(s.from).c_str(),
                    to.empty() ? "-" : to.c_str(), o.path.empty() ? ("[" + Utf8(s.folder) + "]  ").c_str() : "",
                    Utf8(s.subject).c_str());
    }
    std::printf("%zu messages.\n", found.size());
    if (unreadable > 0) std::printf("%u archived messages could not be read.\n", unreadable);
    return remote::kExitDone;
}

// ---- archive show ----

struct ShowOptions {
    std::string id;
    std::string attachments;
    bool json = false;
};

int RunShow(const remote::GlobalOptions& options, const ShowOptions& o) {
    const bool json = o.json || options.json;
    const std::string command = "archive show";
    if (!remote::MountDevice(options)) return remote::kExitFailure;
    std::optional<std::u16string> dir;
    if (!o.attachments.empty()) {
        dir = DevicePathFor(o.attachments);
        if (!dir) return Usage(json, command, "--attachments " + OutsideDevice(o.attachments));
    }
    tallymere::ArchiveView view;
    const std::optional<std::uint32_t> entry = view.Find(o.id);
    if (!entry) return Usage(json, command, "archive show " + o.id + ": the archive holds no such message");
    tallymere::qMsg msg(nullptr, 0, nullptr);
    if (!view.Load(*entry, msg)) {
        const std::string words = "archive show " + o.id + ": the archived message could not be read";
        std::fprintf(stderr, "tallymere-cli: %s\n", words.c_str());
        if (json) std::printf("%s\n", remote::ErrorJson(command, remote::kExitFailure, words).c_str());
        return remote::kExitFailure;
    }
    std::string text;
    for (const std::u16string& line : tallymere::MessageTextLines(msg)) text += Utf8(line);
    if (!text.empty() && text.back() != '\n') text += '\n';
    if (dir && !MakeDirectories(*dir)) {
        const std::string words = "cannot create " + Utf8(*dir);
        std::fprintf(stderr, "tallymere-cli: %s\n", words.c_str());
        if (json) std::printf("%s\n", remote::ErrorJson(command, remote::kExitFailure, words).c_str());
        return remote::kExitFailure;
    }
    Json attachments = Json::array();
    std::string lines;
    for (std::uint32_t i = 0; i < msg.AttachmentSlots(); ++i) {
        const std::size_t size = std::min<std::size_t>(msg.attachSize[i], msg.attachData[i].size());
        const std::u16string name = SafeAttachmentName(msg.attachFilename[i]);
        Json a{{"name", Utf8(msg.attachFilename[i])}, {"size", size}};
        lines += "Attachment: " + Utf8(msg.attachFilename[i]) + " (" + std::to_string(size) + " bytes)";
        if (dir) {
            const std::u16string file = *dir + u"\\" + FreeName(*dir, name);
            auto out = platform::File::Open(file, u"wb");
            if (!out || out->Write(msg.attachData[i].data(), size) != size || !out->Close()) {
                const std::string words = "cannot write " + Utf8(file);
                std::fprintf(stderr, "tallymere-cli: %s\n", words.c_str());
                if (json) std::printf("%s\n", remote::ErrorJson(command, remote::kExitFailure, words).c_str());
                return remote::kExitFailure;
            }
            a["written"] = Utf8(file);
            lines += " written to " + remote::ShownPath(file);
        }
        lines += "\n";
        attachments.push_back(a);
    }
    if (json) {
        std::printf("%s\n", Dump({{"command", command},
                                  {"status", remote::kExitDone},
                                  {"id", o.id},
                                  {"state", view.Present(*entry) ? "present" : "deleted"},
                                  {"folder", Utf8(msg.folderPath)},
                                  {"text", text},
                                  {"attachments", attachments}})
                                .c_str());
        return remote::kExitDone;
    }
    std::fputs(text.c_str(), stdout);
    std::fputs(lines.c_str(), stdout);
    return remote::kExitDone;
}

// ---- archive export-xml ----

struct ExportOptions {
    std::string file;
    bool all = false;
    std::vector<std::string> select;
    bool json = false;
};

int RunExportXml(const remote::GlobalOptions& options, const ExportOptions& o) {
    const bool json = o.json || options.json;
    const std::string command = "archive export-xml";
    if (!remote::MountDevice(options)) return remote::kExitFailure;
    const std::optional<std::u16string> file = DevicePathFor(o.file);
    if (!file) return Usage(json, command, OutsideDevice(o.file));
    tallymere::ArchiveView view;
    std::vector<bool> chosen(view.Count(), false);
    if (!o.select.empty()) {
        tallymere::ArchiveChoice choice = tallymere::ChooseArchived(view, o.select);
        if (!choice.unknown.empty()) {
            for (std::size_t k = 0; k + 1 < choice.unknown.size(); ++k) {
                std::fprintf(stderr, "tallymere-cli: --select %s: the archive holds no such folder or message\n",
                             choice.unknown[k].c_str());
            }
            return Usage(json, command,
                         "--select " + choice.unknown.back() + ": the archive holds no such folder or message");
        }
        chosen = std::move(choice.chosen);
    } else {
        for (std::uint32_t i = 0; i < view.Count(); ++i) chosen[i] = o.all || view.Present(i);
    }
    // Failures to write are the program's own (a box, status 1).
    InstallConsolePort(false, json ? command : std::string());
    const tallymere::AndroidExport written = tallymere::WriteAndroidBackup(view, chosen, *file);
    const std::uint64_t total = written.sms + written.mms;
    if (json) {
        Json received = Json::array();
        for (const auto& [path, count] : written.asReceived)
            received.push_back({{"path", Utf8(path)}, {"count", count}});
        std::printf("%s\n", Dump({{"command", command},
                                  {"status", remote::kExitDone},
                                  {"file", Utf8(*file)},
                                  {"host_path", remote::HostPathOf(*file)},
                                  {"count", total},
                                  {"sms", written.sms},
                                  {"mms", written.mms},
                                  {"written_as_received", received},
                                  {"unreadable", written.unreadable}})
                                .c_str());
        return remote::kExitDone;
    }
    std::printf("%llu messages written to %s (%llu SMS, %llu MMS).\n", static_cast<unsigned long long>(total),
                remote::ShownPath(*file).c_str(), static_cast<unsigned long long>(written.sms),
                static_cast<unsigned long long>(written.mms));
    for (const auto& [path, count] : written.asReceived) {
        std::printf("Written as received: %s (%u messages; the folder is no inbox, sent, drafts or outbox folder)\n",
                    Utf8(path).c_str(), count);
    }
    if (written.unreadable > 0) std::printf("%u archived messages could not be read.\n", written.unreadable);
    return remote::kExitDone;
}

}  // namespace

Runner AddArchiveBrowseCommands(CLI::App& app) {
    CLI::App* archive = app.add_subcommand("archive", "Look into the archive and take messages out of it (read only)");
    archive->require_subcommand(1);
    auto list = std::make_shared<ListOptions>();
    CLI::App* listCmd = archive->add_subcommand(
        "list",
        "Without PATH: every archived folder with its present and deleted messages; with PATH or --grep: "
        "the archived messages");
    listCmd->add_option("PATH", list->path, "A folder of the archive (SMS/Inbox), with everything below it");
    CLI::Option* present =
        listCmd->add_flag("--present", list->present, "Only messages present at the latest full backup");
    CLI::Option* deleted =
        listCmd->add_flag("--deleted", list->deleted, "Only messages deleted before the latest full backup");
    present->excludes(deleted);
    listCmd->add_option("--grep", list->grep,
                        "Only messages whose text, subject or addresses contain TEXT (letter case ignored)");
    listCmd->add_flag("--json", list->json, "Print the result as one JSON object on standard output");

    auto show = std::make_shared<ShowOptions>();
    CLI::App* showCmd =
        archive->add_subcommand("show", "Print an archived message as the export writes it, and its attachments");
    showCmd->add_option("ID", show->id, "The message's identifier (40 hexadecimal digits, as archive list shows it)")
        ->required();
    showCmd->add_option("--attachments", show->attachments,
                        "Write the attachments into DIR (created; a name taken gets a number); a device path or a "
                        "path inside the device folder");
    showCmd->add_flag("--json", show->json, "Print the result as one JSON object on standard output");

    auto xml = std::make_shared<ExportOptions>();
    CLI::App* xmlCmd = archive->add_subcommand(
        "export-xml",
        "Write archived messages as an Android SMS/MMS backup file (those present at the latest full "
        "backup, unless --all or --select)");
    xmlCmd->add_option("FILE", xml->file, "The file to write: a device path or a path inside the device folder")
        ->required();
    xmlCmd->add_flag("--all", xml->all, "Every archived message, deleted ones included");
    xmlCmd->add_option("--select", xml->select, "Folders of the archive (with everything below them) or identifiers");
    xmlCmd->add_flag("--json", xml->json, "Print the result as one JSON object on standard output");

    return [=](const remote::GlobalOptions& options) -> int {
        if (listCmd->parsed()) return RunList(options, *list);
        if (showCmd->parsed()) return RunShow(options, *show);
        if (xmlCmd->parsed()) return RunExportXml(options, *xml);
        return -1;
    };
}

}  // namespace cli
