// The OK of the settings dialog: a new output directory is stored, its directories are
// created, and the archive moves along. Shared by every front end.
#pragma once

#include <string_view>

namespace tallymere {

// Stores `newDir` as OutputDir (one trailing "\" removed), creates it and its "Tallymere" and
// "Tallyport" directories (one level each: a missing parent is fatal), then moves
// Folders.dat, Messages.dat and Messages.ndx from the old archive directory to the new one.
// A file that is missing, or whose destination exists, stays where it is.
void ChangeOutputDir(std::u16string_view newDir);

}  // namespace tallymere
