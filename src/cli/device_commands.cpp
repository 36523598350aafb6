// `tallymere-cli device ...`: the phone's side of the message store, for trying the program
// out and for tests: messages arrive, are listed, dumped, moved, marked read and deleted.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>

#include "cli/commands.h"
#include "phone/device_deliver.h"
#include "phone/device_dump.h"
#include "phone/device_import.h"
#include "phone/device_list.h"
#include "phone/device_seed.h"
#include "remote/exit_status.h"
#include "phone/iso_time.h"
#include "remote/reports.h"
#include "platform/text.h"

namespace cli {

namespace {

using phone::Bytes;
using phone::Failure;
namespace mapi = platform::mapi;

Bytes ReadHostFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Failure{"cannot read file \"" + path + "\""};
    Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw Failure{"cannot read file \"" + path + "\""};
    return bytes;
}

std::u16string BaseName(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return platform::FromUtf8(slash == std::string::npos ? path : path.substr(slash + 1));
}

struct DeliverOptions {
    std::string folder = "SMS/Inbox";
    std::string from, fromName, subject, body, bodyFile, messageClass = "IPM.SMStext", mms, time;
    std::vector<std::string> to, attach;
    bool read = false;
};

// Everything is checked and read before anything is written.
phone::Delivery MakeDelivery(const DeliverOptions& o, const CLI::App& command) {
    phone::Delivery d;
    d.folder = platform::FromUtf8(o.folder);
    if (command.count("--from")) d.from = platform::FromUtf8(o.from);
    if (command.count("--from-name")) d.fromName = platform::FromUtf8(o.fromName);
    for (const std::string& to : o.to) {
        const std::size_t equals = to.find('=');
        phone::Recipient r{platform::FromUtf8(to.substr(0, equals)),
                            equals == std::string::npos ? u"" : platform::FromUtf8(to.substr(equals + 1))};
        if (r.address.empty()) throw Failure{"invalid recipient \"" + to + "\" (expected ADDR or ADDR=NAME)"};
        d.to.push_back(std::move(r));
    }
    d.subject = platform::FromUtf8(o.subject);
    if (command.count("--body-file")) {
        const Bytes text = ReadHostFile(o.bodyFile);
        d.body = platform::FromUtf8(std::string(text.begin(), text.end()));
    } else {
        d.body = platform::FromUtf8(o.body);
    }
    d.messageClass = platform::FromUtf8(o.messageClass);
    for (const std::string& file : o.attach) d.attachments.push_back({BaseName(file), ReadHostFile(file)});
    if (command.count("--mms")) d.mms = phone::Attachment{BaseName(o.mms), ReadHostFile(o.mms)};
    if (command.count("--time")) {
        auto time = phone::ParseIsoTime(o.time);
        if (!time) throw Failure{"invalid time \"" + o.time + "\" (expected ISO-8601, such as 2008-05-01T12:30:00Z)"};
        d.deliveryTime = *time;
    } else {
        d.deliveryTime = platform::GetSystemTimeAsFileTime();
    }
    d.read = o.read;
    return d;
}

mapi::Ptr<mapi::IMAPIFolder> ParentOf(phone::Phone& phone, mapi::IMessage* message) {
    mapi::ULONG tags[] = {mapi::PR_PARENT_ENTRYID};
    mapi::SPropTagArray array{1, tags};
    mapi::ULONG count = 0;
    mapi::Buffer<mapi::SPropValue> v;
    if (message->GetProps(&array, 0, &count, v.Out()) != 0 || v[0].ulPropTag != tags[0]) {
        throw Failure{"the message has no folder"};
    }
    return phone.OpenFolder(Bytes(v[0].Value.bin.lpb, v[0].Value.bin.lpb + v[0].Value.bin.cb));
}

void Require(mapi::HRESULT result, const char* what) {
    if (result != 0) throw Failure{std::string("the message store refused ") + what};
}

}  // namespace

Runner AddDeviceCommands(CLI::App& app) {
    CLI::App* group = app.add_subcommand("device", "Play the phone: messages arrive, are listed, moved, read, deleted");
    group->require_subcommand(1);

    auto path = std::make_shared<std::string>();
    auto id = std::make_shared<std::string>();
    CLI::App* list = group->add_subcommand("list", "Stores and folders with message counts, or one folder's messages");
    list->add_option("PATH", *path, "Folder path, store name first (\"SMS/Inbox\")");
    CLI::App* dump = group->add_subcommand("dump", "The whole message store as JSON on standard output");

    auto o = std::make_shared<DeliverOptions>();
    CLI::App* deliver = group->add_subcommand("deliver", "A new message arrives (prints its identifier)");
    deliver->add_option("--folder", o->folder, "Folder path (default \"SMS/Inbox\")");
    deliver->add_option("--from", o->from, "Sender address (phone number)");
    deliver->add_option("--from-name", o->fromName, "Sender name");
    deliver->add_option("--to", o->to, "Recipient ADDR or ADDR=NAME (repeatable)");
    deliver->add_option("--subject", o->subject, "Subject");
    CLI::Option* body = deliver->add_option("--body", o->body, "Body text");
    deliver->add_option("--body-file", o->bodyFile, "Body text from a UTF-8 file")->excludes(body);
    CLI::Option* klass = deliver->add_option("--class", o->messageClass, "Message class (default IPM.SMStext)");
    deliver->add_option("--attach", o->attach, "Attach a file (repeatable)");
    deliver->add_option("--mms", o->mms, "An IPM.MMS message whose MMS client file is this file")->excludes(klass);
    deliver->add_option("--time", o->time, "Delivery time, ISO-8601, UTC unless it has an offset (default now)");
    deliver->add_flag("--read", o->read, "Delivered already read");

    CLI::App* remove = group->add_subcommand("delete", "Delete a message");
    remove->add_option("ID", *id, "Entry identifier in hex")->required();
    auto target = std::make_shared<std::string>();
    CLI::App* move = group->add_subcommand("move", "Move a message into another folder");
    move->add_option("ID", *id, "Entry identifier in hex")->required();
    move->add_option("PATH", *target, "Folder path")->required();
    CLI::App* markRead = group->add_subcommand("mark-read", "Mark a message read");
    markRead->add_option("ID", *id, "Entry identifier in hex")->required();
    CLI::App* newFolder = group->add_subcommand("new-folder", "Create a folder path in an existing store");
    newFolder->add_option("PATH", *path, "Folder path")->required();
    auto messages = std::make_shared<std::uint32_t>(0);
    auto seed = std::make_shared<std::uint64_t>(1);
    CLI::App* seedCommand = group->add_subcommand("seed", "Deliver realistic sample messages (same for the same seed)");
    seedCommand->add_option("--messages", *messages, "Number of messages")->required();
    seedCommand->add_option("--seed", *seed, "Seed (default 1)");

    auto files = std::make_shared<std::vector<std::string>>();
    CLI::App* import = group->add_subcommand("import", "Import SMS/MMS backup files (Android backup XML) into the store");
    import->add_option("FILE", *files, "Backup file (several may be given)")->required();
    auto strict = std::make_shared<bool>(false);
    import->add_flag("--strict", *strict, "Refuse a file that is not well-formed XML instead of reading it leniently");
    auto mirror = std::make_shared<bool>(false);
    auto force = std::make_shared<bool>(false);
    CLI::Option* mirrorFlag = import->add_flag(
        "--mirror", *mirror, "Also delete the messages of the folders the file covers that it no longer holds (a full backup)");
    import->add_flag("--force", *force, "With --mirror: mirror a file that does not say it is a full backup")->needs(mirrorFlag);

    return [=](const GlobalOptions& options) -> int {
        if (!group->parsed()) return -1;
        const CLI::App* command = group->get_subcommands().front();
        // Input is checked before the store is touched.
        phone::Delivery delivery;
        std::optional<Bytes> messageId;
        try {
            if (command == deliver) delivery = MakeDelivery(*o, *deliver);
            if (command == remove || command == move || command == markRead) messageId = phone::ParseId(*id);
            if (command == import) {
                for (const std::string& file : *files) {
                    std::ifstream in(file, std::ios::binary);
                    if (!in) throw Failure{"cannot read file \"" + file + "\""};
                }
            }
        } catch (const Failure& failure) {
            // What the command line says wrong is a usage error; a file that cannot be read is not.
            const int status = command == import ? kExitFailure : kExitUsage;
            std::fprintf(stderr, "tallymere-cli: device %s: %s\n", command->get_name().c_str(), failure.message.c_str());
            if (options.json) std::printf("%s\n", ErrorJson(options.command, status, failure.message).c_str());
            return status;
        }
        const bool reads = command == list || command == dump;
        if (!MountDevice(options, reads ? DeviceUse::kRead : DeviceUse::kWrite)) return kExitFailure;
        try {
            phone::Phone phone;
            if (command == list && options.json) {
                const auto listed = path->empty() ? phone::TreeJson(phone) : phone::FolderJson(phone, platform::FromUtf8(*path));
                std::printf("%s\n", listed.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
            } else if (command == list) {
                if (path->empty()) {
                    phone::ListTree(phone, stdout);
                } else {
                    phone::ListFolder(phone, platform::FromUtf8(*path), stdout);
                }
            } else if (command == dump) {
                std::printf("%s\n", phone::Dump(phone).dump(2).c_str());
            } else if (command == deliver) {
                std::printf("%s\n", phone::Hex(phone::Deliver(phone, delivery)).c_str());
            } else if (command == remove) {
                mapi::Ptr<mapi::IMessage> message = phone.OpenMessage(*messageId);
                mapi::Ptr<mapi::IMAPIFolder> folder = ParentOf(phone, message.get());
                message.reset();
                mapi::SBinary entry{20, messageId->data()};
                mapi::ENTRYLIST entries{1, &entry};
                Require(folder->DeleteMessages(&entries, 0, nullptr, 0), "DeleteMessages");
            } else if (command == move) {
                mapi::Ptr<mapi::IMessage> message = phone.OpenMessage(*messageId);
                mapi::Ptr<mapi::IMAPIFolder> destination = phone.FindFolder(platform::FromUtf8(*target));
                mapi::Ptr<mapi::IMAPIFolder> folder = ParentOf(phone, message.get());
                message.reset();
                mapi::SBinary entry{20, messageId->data()};
                mapi::ENTRYLIST entries{1, &entry};
                Require(folder->CopyMessages(&entries, nullptr, destination.get(), 0, nullptr, mapi::MESSAGE_MOVE),
                        "CopyMessages");
            } else if (command == markRead) {
                mapi::Ptr<mapi::IMessage> message = phone.OpenMessage(*messageId);
                mapi::SPropValue flags;
                flags.ulPropTag = mapi::PR_MESSAGE_FLAGS;
                flags.Value.ul = phone::GetNumber(message.get(), mapi::PR_MESSAGE_FLAGS).value_or(0) | mapi::MSGFLAG_READ;
                Require(message->SetProps(1, &flags, nullptr), "SetProps");
            } else if (command == newFolder) {
                std::printf("%s\n", phone::Hex(phone::EntryIdOf(phone.MakeFolder(platform::FromUtf8(*path)).get())).c_str());
            } else if (command == seedCommand) {
                std::printf("%u messages delivered\n", phone::Seed(phone, *messages, *seed));
            } else if (command == import) {
                const std::string prefix = "tallymere-cli: device import: ";
                phone::Importer importer(phone, stderr, prefix, ::isatty(STDERR_FILENO) != 0);
                importer.SetStrict(*strict);
                if (*mirror) importer.RequireFull(*force);
                std::string error;
                bool complete = true;
                for (const std::string& file : *files) {
                    complete = importer.ImportFile(file, &error);
                    if (!complete) break;
                }
                // A file that stopped early says nothing about what the phone no longer holds.
                if (complete && *mirror) {
                    complete = importer.Mirror(&error);
                } else if (*mirror) {
                    error += "; nothing deleted";
                }
                if (!complete) std::fprintf(stderr, "%s%s\n", prefix.c_str(), error.c_str());
                std::printf("%s\n", phone::ImportSummary(importer.Counts()).c_str());
                return complete ? 0 : 1;
            }
        } catch (const Failure& failure) {
            const int status = failure.usage ? kExitUsage : kExitFailure;
            std::fprintf(stderr, "tallymere-cli: device %s: %s\n", command->get_name().c_str(), failure.message.c_str());
            if (options.json) std::printf("%s\n", ErrorJson(options.command, status, failure.message).c_str());
            return status;
        }
        return 0;
    };
}

}  // namespace cli
