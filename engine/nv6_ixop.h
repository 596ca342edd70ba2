// Opening an index file of any of the family's formats by its name: the extension picks the
// format (none given: NDX, the format single-index programs assume). The cursor, the command
// line tool and the record set all open index files through this one place, so a new format
// becomes usable everywhere by adding it here.
#pragma once

#include <memory>
#include <string_view>

#include "nv6_indx.h"

// Opens (or with `create` and (`overwrite` or no such file) creates) the index file `path`
// for `table`. None when the file does not exist; "Index file %s is corrupted" is left to the
// caller, which sees the file's corrupt flag. An extension no format claims raises
// "Unknown index file type %s".
std::unique_ptr<NVobjIndexFile> NvOpenIndexFile(TnvIndexTable* table, std::string_view path, bool create,
                                                bool overwrite, bool shared);

// Whether `path`'s extension names an index format this engine reads (no extension counts as
// NDX).
bool NvIsIndexFileName(std::string_view path);
