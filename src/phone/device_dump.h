// The whole message store as JSON, for `device dump`:
// {"stores":[{"name","entryid","folders":[{"path","entryid","messages":[{...}]}]}]}
// Folders come depth first in hierarchy order (the IPM subtree itself first, with the store's
// name as path), messages in contents-table order; identifiers are lower-case hex, times
// FILETIME integers, and a property a message lacks is null.
#pragma once

#include <nlohmann/json.hpp>

#include "phone/device_store.h"

namespace phone {

// A store that cannot be read is thrown as Failure (device_store.h).
nlohmann::ordered_json Dump(Phone& phone);

}  // namespace phone
