// `device list`: the stores and folders as a tree with message counts, or the messages of one
// folder, one line each: identifier, delivery time, sender, subject.
#pragma once

#include <cstdio>
#include <string_view>

#include "cli/device_store.h"

namespace cli::device {

void ListTree(Phone& phone, std::FILE* out);
void ListFolder(Phone& phone, std::u16string_view path, std::FILE* out);

}  // namespace cli::device
