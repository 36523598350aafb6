// `device list`: the stores and folders as a tree with message counts, or the messages of one
// folder, one line each: identifier, delivery time, sender, subject.
//
// With --json, one object: the tree as {"stores": [{"name", "folders": [{"path", "messages",
// "unread"}, ...]}]} (every folder below the store, its top folder first, depth first), a
// folder as {"path", "messages": [{"entryid", "delivery_time", "sender", "subject", "read"}]}.
#pragma once

#include <cstdio>
#include <string_view>

#include <nlohmann/json.hpp>

#include "phone/device_store.h"

namespace phone {

// A store that cannot be read, or a folder path that names no folder, is thrown as Failure
// (device_store.h); the `device` command catches it.
void ListTree(Phone& phone, std::FILE* out);
void ListFolder(Phone& phone, std::u16string_view path, std::FILE* out);

nlohmann::ordered_json TreeJson(Phone& phone);
nlohmann::ordered_json FolderJson(Phone& phone, std::u16string_view path);

}  // namespace phone
