// The phone's side of the message store for the `device` commands: a session, folder paths
// in the program's form ("SMS/Inbox/Work"), entry identifiers in hex and small property
// helpers. Problems are thrown as `Failure` with one line for the user.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/mapi/ptr.h"

namespace phone {

namespace mapi = platform::mapi;
using Bytes = std::vector<std::uint8_t>;

struct Failure {
    std::string message;
    bool usage = false;  // the command line named something that is not there, or wrote it wrong
};

// Lower-case hex, and back (40 hexadecimal digits for the store's 20-byte identifiers).
std::string Hex(const Bytes& bytes);
Bytes ParseId(std::string_view text);

Bytes EntryIdOf(mapi::IMAPIProp* object);
// One property; nothing when the object lacks it.
std::optional<std::u16string> GetText(mapi::IMAPIProp* object, mapi::ULONG tag);
std::optional<std::uint32_t> GetNumber(mapi::IMAPIProp* object, mapi::ULONG tag);
// The bytes of a stream property (nothing, or empty, when missing).
std::optional<Bytes> ReadStreamIfAny(mapi::IMAPIProp* object, mapi::ULONG tag);
Bytes ReadStream(mapi::IMAPIProp* object, mapi::ULONG tag);
// Writes `bytes` into a stream property.
void WriteStream(mapi::IMAPIProp* object, mapi::ULONG tag, const Bytes& bytes);

struct Named {
    std::u16string name;
    Bytes id;
};

// A session on the mounted device's store, initialised for the command's life.
class Phone {
public:
    Phone();
    ~Phone();
    Phone(const Phone&) = delete;
    Phone& operator=(const Phone&) = delete;

    mapi::IMAPISession* Session() const { return session_.get(); }

    // Stores in the stores table's order.
    std::vector<Named> Stores();
    mapi::Ptr<mapi::IMAPIFolder> Subtree(const Bytes& storeId);
    // Immediate subfolders in hierarchy order, and the messages of a folder in contents order.
    std::vector<Named> Subfolders(mapi::IMAPIFolder* folder);
    std::vector<Bytes> Messages(mapi::IMAPIFolder* folder);

    // The existing folder a path names; Failure when there is none.
    mapi::Ptr<mapi::IMAPIFolder> FindFolder(std::u16string_view path);
    // The folder a path names, creating missing folders (the store must exist).
    mapi::Ptr<mapi::IMAPIFolder> MakeFolder(std::u16string_view path);
    mapi::Ptr<mapi::IMAPIFolder> OpenFolder(const Bytes& id);
    // The message an identifier names; Failure when it names none.
    mapi::Ptr<mapi::IMessage> OpenMessage(const Bytes& id);

    // Every folder below a store's IPM subtree, depth first, the subtree itself (path = the
    // store's name) first.
    void WalkFolders(const Named& store,
                     const std::function<void(const std::u16string&, mapi::IMAPIFolder*, int)>& visit);

private:
    mapi::Ptr<mapi::IMAPIFolder> Resolve(std::u16string_view path, bool create);

    mapi::Ptr<mapi::IMAPISession> session_;
};

}  // namespace phone
