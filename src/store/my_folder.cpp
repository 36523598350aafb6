// From a folder's entry identifier back to its folder path.
#include <set>

#include "archive/qmsg.h"
#include "store/store_cache.h"
#include "support/fatal.h"

namespace tallymere {

namespace mapi = platform::mapi;

void GetMyFolder(qMsg& msg, std::uint32_t entryIdSize, const std::uint8_t* entryId) {
    enum class State { Walking, RootSeen, Done };
    State state = State::Walking;
    std::u16string path;
    std::vector<std::uint8_t> current(entryId, entryId + (entryId ? entryIdSize : 0));
    std::set<std::vector<std::uint8_t>> seen;
    while (state != State::Done) {
        // A chain that loops back stops at the first folder met twice.
        if (!seen.insert(current).second) break;
        mapi::Ptr<mapi::IUnknown> object;
        mapi::ULONG type = 0;
        if (msg.session->OpenEntry(static_cast<mapi::ULONG>(current.size()), current.data(), nullptr, 0, &type,
                                   object.Out()) != 0 ||
            !object || type != mapi::MAPI_FOLDER) {
            FatalError(u"OpenEntry failed.", u"GetMyFolder");
        }
        mapi::Ptr<mapi::IMAPIFolder> folder = std::move(object).As<mapi::IMAPIFolder>();
        mapi::ULONG tags[] = {mapi::PR_ENTRYID, mapi::PR_PARENT_ENTRYID, mapi::PR_DISPLAY_NAME_W};
        mapi::SPropTagArray array{3, tags};
        mapi::ULONG count = 0;
        mapi::Buffer<mapi::SPropValue> values;
        if (folder->GetProps(&array, 0, &count, values.Out()) != 0 || count < 3) {
            FatalError(u"GetProps failed.", u"GetMyFolder");
        }
        folder.reset();

        if (state == State::RootSeen) state = State::Done;
        const std::u16string_view name = values[2].ulPropTag == mapi::PR_DISPLAY_NAME_W && values[2].Value.lpszW
                                             ? std::u16string_view(values[2].Value.lpszW)
                                             : std::u16string_view();
        if (name == u"IPM.Root") {
            state = State::RootSeen;
        } else {
            path = path.empty() ? std::u16string(name) : std::u16string(name) + u"/" + path;
        }
        // A folder without parent ends the walk.
        if (values[1].ulPropTag != mapi::PR_PARENT_ENTRYID) break;
        current.assign(values[1].Value.bin.lpb, values[1].Value.bin.lpb + values[1].Value.bin.cb);
    }
    msg.SetFolder(path);
}

}  // namespace tallymere
