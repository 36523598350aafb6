// `tallymere-cli device ...`: the phone's side of the message store, for trying the program
// out and for tests: messages arrive, are listed, dumped, moved, marked read and deleted.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <memory>
#include <string>
#include <vector>

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
using Json = nlohmann::ordered_json;

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

// A folder path as the store takes it: a trailing "/" ("SMS/Inbox/") is ignored.
std::u16string FolderPath(std::string path) {
    if (path.size() > 1 && path.back() == '/') path.pop_back();
    return platform::FromUtf8(path);
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
    d.folder = FolderPath(o.folder);
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

// A whole number from 0 to `max`, said plainly when the text is none.
CLI::Validator WholeNumber(std::uint64_t max, const std::string& example) {
    return CLI::Validator(
        [max, example](const std::string& text) -> std::string {
            std::uint64_t value = 0;
            bool fits = !text.empty() && text.size() <= 20;
            for (const char c : text) {
                if (c < '0' || c > '9') fits = false;
                if (!fits) break;
                const auto digit = static_cast<std::uint64_t>(c - '0');
                fits = value <= (max - digit) / 10;
                value = value * 10 + digit;
            }
            if (fits) return {};
            return "takes a whole number from 0 to " + std::to_string(max) + ", such as " + example + ", not \"" +
                   text + "\"";
        },
        "", "whole number");
}

// One subcommand: what it checks of its command line before the store is touched, and its
// work on the phone. With --json the work fills the object's own keys instead of printing; the
// runner adds "command" before them and "status" after.
struct Subcommand {
    CLI::App* app = nullptr;
    remote::DeviceUse use = remote::DeviceUse::kWrite;
    std::function<void()> check;           // throws Failure for input that cannot be used
    int checkStatus = remote::kExitUsage;  // the status of such input
    std::function<int(phone::Phone&, bool json, Json& object)> run;
};

// The object for a command that ran, its own keys between "command" and "status".
void PrintObject(const std::string& command, const Json& keys, int status) {
    Json object{{"command", command}};
    for (const auto& [key, value] : keys.items()) object[key] = value;
    object["status"] = status;
    std::printf("%s\n", object.dump(-1, ' ', false, Json::error_handler_t::replace).c_str());
}

int PrintFailure(const remote::GlobalOptions& options, const CLI::App& app, const Failure& failure, int status) {
    std::fprintf(stderr, "tallymere-cli: device %s: %s\n", app.get_name().c_str(), failure.message.c_str());
    if (options.json) std::printf("%s\n", remote::ErrorJson(options.command, status, failure.message).c_str());
    return status;
}

int RunSubcommand(const Subcommand& sub, const remote::GlobalOptions& options) {
    try {
        if (sub.check) sub.check();
    } catch (const Failure& failure) {
        return PrintFailure(options, *sub.app, failure, sub.checkStatus);
    }
    if (!remote::MountDevice(options, sub.use)) return remote::kExitFailure;
    try {
        phone::Phone phone;
        Json keys = Json::object();
        const int status = sub.run(phone, options.json, keys);
        if (options.json) PrintObject(options.command, keys, status);
        return status;
    } catch (const Failure& failure) {
        return PrintFailure(options, *sub.app, failure, failure.usage ? remote::kExitUsage : remote::kExitFailure);
    }
}

Subcommand AddList(CLI::App& group) {
    auto path = std::make_shared<std::string>();
    Subcommand sub;
    sub.app = group.add_subcommand("list", "Stores and folders with message counts, or one folder's messages");
    sub.app->add_option("PATH", *path, "Folder path, store name first (\"SMS/Inbox\")");
    sub.use = remote::DeviceUse::kRead;
    sub.run = [path](phone::Phone& phone, bool json, Json& keys) {
        if (json) {
            keys = path->empty() ? phone::TreeJson(phone) : phone::FolderJson(phone, FolderPath(*path));
        } else if (path->empty()) {
            phone::ListTree(phone, stdout);
        } else {
            phone::ListFolder(phone, FolderPath(*path), stdout);
        }
        return remote::kExitDone;
    };
    return sub;
}

Subcommand AddDump(CLI::App& group) {
    Subcommand sub;
    sub.app = group.add_subcommand("dump", "The whole message store as JSON on standard output");
    sub.use = remote::DeviceUse::kRead;
    sub.run = [](phone::Phone& phone, bool json, Json& keys) {
        // Without --json the dump is printed as it is, indented; with it, its keys go into the
        // command's object.
        if (json) {
            keys = phone::Dump(phone);
        } else {
            std::printf("%s\n", phone::Dump(phone).dump(2).c_str());
        }
        return remote::kExitDone;
    };
    return sub;
}

Subcommand AddDeliver(CLI::App& group) {
    auto o = std::make_shared<DeliverOptions>();
    auto delivery = std::make_shared<phone::Delivery>();
    Subcommand sub;
    CLI::App* deliver = sub.app = group.add_subcommand("deliver", "A new message arrives (prints its identifier)");
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
    sub.check = [o, delivery, deliver] { *delivery = MakeDelivery(*o, *deliver); };
    sub.run = [delivery](phone::Phone& phone, bool json, Json& keys) {
        const std::string id = phone::Hex(phone::Deliver(phone, *delivery));
        if (json) {
            keys["entryid"] = id;
        } else {
            std::printf("%s\n", id.c_str());
        }
        return remote::kExitDone;
    };
    return sub;
}

// A subcommand on one message, named by its identifier: delete, move, mark-read.
Subcommand AddMessageSubcommand(CLI::App& group, const std::string& name, const std::string& description,
                                std::shared_ptr<Bytes> messageId) {
    auto id = std::make_shared<std::string>();
    Subcommand sub;
    sub.app = group.add_subcommand(name, description);
    sub.app->add_option("ID", *id, "Entry identifier in hex")->required();
    sub.check = [id, messageId] { *messageId = phone::ParseId(*id); };
    return sub;
}

Subcommand AddDelete(CLI::App& group) {
    auto messageId = std::make_shared<Bytes>();
    Subcommand sub = AddMessageSubcommand(group, "delete", "Delete a message", messageId);
    sub.run = [messageId](phone::Phone& phone, bool, Json& keys) {
        mapi::Ptr<mapi::IMessage> message = phone.OpenMessage(*messageId);
        mapi::Ptr<mapi::IMAPIFolder> folder = ParentOf(phone, message.get());
        message.reset();
        mapi::SBinary entry{20, messageId->data()};
        mapi::ENTRYLIST entries{1, &entry};
        Require(folder->DeleteMessages(&entries, 0, nullptr, 0), "DeleteMessages");
        keys["entryid"] = phone::Hex(*messageId);
        return remote::kExitDone;
    };
    return sub;
}

Subcommand AddMove(CLI::App& group) {
    auto messageId = std::make_shared<Bytes>();
    auto target = std::make_shared<std::string>();
    Subcommand sub = AddMessageSubcommand(group, "move", "Move a message into another folder", messageId);
    sub.app->add_option("PATH", *target, "Folder path")->required();
    sub.run = [messageId, target](phone::Phone& phone, bool, Json& keys) {
        mapi::Ptr<mapi::IMessage> message = phone.OpenMessage(*messageId);
        mapi::Ptr<mapi::IMAPIFolder> destination = phone.FindFolder(FolderPath(*target));
        mapi::Ptr<mapi::IMAPIFolder> folder = ParentOf(phone, message.get());
        message.reset();
        mapi::SBinary entry{20, messageId->data()};
        mapi::ENTRYLIST entries{1, &entry};
        Require(folder->CopyMessages(&entries, nullptr, destination.get(), 0, nullptr, mapi::MESSAGE_MOVE),
                "CopyMessages");
        keys["entryid"] = phone::Hex(*messageId);
        keys["folder"] = platform::ToUtf8(FolderPath(*target));
        return remote::kExitDone;
    };
    return sub;
}

Subcommand AddMarkRead(CLI::App& group) {
    auto messageId = std::make_shared<Bytes>();
    Subcommand sub = AddMessageSubcommand(group, "mark-read", "Mark a message read", messageId);
    sub.run = [messageId](phone::Phone& phone, bool, Json& keys) {
        mapi::Ptr<mapi::IMessage> message = phone.OpenMessage(*messageId);
        mapi::SPropValue flags;
        flags.ulPropTag = mapi::PR_MESSAGE_FLAGS;
        flags.Value.ul = phone::GetNumber(message.get(), mapi::PR_MESSAGE_FLAGS).value_or(0) | mapi::MSGFLAG_READ;
        Require(message->SetProps(1, &flags, nullptr), "SetProps");
        keys["entryid"] = phone::Hex(*messageId);
        return remote::kExitDone;
    };
    return sub;
}

Subcommand AddNewFolder(CLI::App& group) {
    auto path = std::make_shared<std::string>();
    Subcommand sub;
    sub.app = group.add_subcommand("new-folder", "Create a folder path in an existing store");
    sub.app->add_option("PATH", *path, "Folder path")->required();
    sub.run = [path](phone::Phone& phone, bool json, Json& keys) {
        const std::u16string folder = FolderPath(*path);
        const std::string id = phone::Hex(phone::EntryIdOf(phone.MakeFolder(folder).get()));
        if (json) {
            keys["path"] = platform::ToUtf8(folder);
            keys["entryid"] = id;
        } else {
            std::printf("%s\n", id.c_str());
        }
        return remote::kExitDone;
    };
    return sub;
}

Subcommand AddSeed(CLI::App& group) {
    auto messages = std::make_shared<std::uint32_t>(0);
    auto seed = std::make_shared<std::uint64_t>(1);
    Subcommand sub;
    sub.app = group.add_subcommand("seed", "Deliver realistic sample messages (same for the same seed)");
    sub.app->add_option("--messages", *messages, "Number of messages")
        ->required()
        ->check(WholeNumber(std::numeric_limits<std::uint32_t>::max(), "--messages 200"));
    sub.app->add_option("--seed", *seed, "Seed (default 1)")
        ->check(WholeNumber(std::numeric_limits<std::uint64_t>::max(), "--seed 7"));
    sub.run = [messages, seed](phone::Phone& phone, bool json, Json& keys) {
        const std::uint32_t delivered = phone::Seed(phone, *messages, *seed);
        if (json) {
            keys["count"] = delivered;
        } else {
            std::printf("%u messages delivered\n", delivered);
        }
        return remote::kExitDone;
    };
    return sub;
}

Json CountsJson(const phone::ImportCounts& counts) {
    return {{"sms", counts.sms},         {"mms", counts.mms},
            {"present", counts.present}, {"skipped", counts.skipped},
            {"lenient", counts.lenient}, {"mirrored", counts.mirrored},
            {"deleted", counts.deleted}, {"summary", phone::ImportSummary(counts)}};
}

Subcommand AddImport(CLI::App& group) {
    auto files = std::make_shared<std::vector<std::string>>();
    auto strict = std::make_shared<bool>(false);
    auto mirror = std::make_shared<bool>(false);
    auto force = std::make_shared<bool>(false);
    Subcommand sub;
    CLI::App* import = sub.app =
        group.add_subcommand("import", "Import SMS/MMS backup files (Android backup XML) into the store");
    import->add_option("FILE", *files, "Backup file (several may be given)")->required();
    import->add_flag("--strict", *strict, "Refuse a file that is not well-formed XML instead of reading it leniently");
    CLI::Option* mirrorFlag = import->add_flag(
        "--mirror", *mirror,
        "Also delete the messages of the folders the file covers that it no longer holds (a full backup)");
    import->add_flag("--force", *force, "With --mirror: mirror a file that does not say it is a full backup")
        ->needs(mirrorFlag);
    // A file that cannot be read is a failure, not a usage error.
    sub.checkStatus = remote::kExitFailure;
    sub.check = [files] {
        for (const std::string& file : *files) {
            std::ifstream in(file, std::ios::binary);
            if (!in) throw Failure{"cannot read file \"" + file + "\""};
        }
    };
    sub.run = [files, strict, mirror, force](phone::Phone& phone, bool json, Json& keys) {
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
        if (json) {
            keys = CountsJson(importer.Counts());
            if (!complete) keys["error"] = error;
        } else {
            std::printf("%s\n", phone::ImportSummary(importer.Counts()).c_str());
        }
        return complete ? remote::kExitDone : remote::kExitFailure;
    };
    return sub;
}

}  // namespace

Runner AddDeviceCommands(CLI::App& app) {
    CLI::App* group = app.add_subcommand("device", "Play the phone: messages arrive, are listed, moved, read, deleted");
    group->require_subcommand(1);
    const std::vector<Subcommand> subcommands = {
        AddList(*group),     AddDump(*group),      AddDeliver(*group), AddDelete(*group), AddMove(*group),
        AddMarkRead(*group), AddNewFolder(*group), AddSeed(*group),    AddImport(*group),
    };
    return [group, subcommands](const remote::GlobalOptions& options) -> int {
        if (!group->parsed()) return -1;
        for (const Subcommand& sub : subcommands) {
            if (sub.app->parsed()) return RunSubcommand(sub, options);
        }
        return -1;
    };
}

}  // namespace cli
