#include "nv6_ixop.h"

#include <string>

#include "nv6_cdx.h"
#include "nv6_cnst.h"
#include "nv6_disk.h"
#include "nv6_glbl.h"
#include "nv6_mdx.h"
#include "nv6_ndx.h"
#include "nv6_ntx.h"

namespace {

enum class IndexFormat { None, Ndx, Cdx, Ntx, Mdx };

IndexFormat FormatOf(std::string_view path) {
    if (NvHasExt(path, "") || NvHasExt(path, "ndx")) return IndexFormat::Ndx;
    if (NvHasExt(path, "cdx")) return IndexFormat::Cdx;
    if (NvHasExt(path, "ntx")) return IndexFormat::Ntx;
    if (NvHasExt(path, "mdx")) return IndexFormat::Mdx;
    return IndexFormat::None;
}

}  // namespace

bool NvIsIndexFileName(std::string_view path) { return FormatOf(path) != IndexFormat::None; }

std::unique_ptr<NVobjIndexFile> NvOpenIndexFile(TnvIndexTable* table, std::string_view path, bool create,
                                                bool overwrite, bool shared) {
    switch (FormatOf(path)) {
        case IndexFormat::Ndx:
            return NVobjNDXFile::Open(table, path, create, overwrite, shared);
        case IndexFormat::Cdx:
            return NVobjCDXFile::Open(table, path, create, overwrite, shared);
        case IndexFormat::Ntx:
            return NVobjNTXFile::Open(table, path, create, overwrite, shared);
        case IndexFormat::Mdx:
            return NVobjMDXFile::Open(table, path, create, overwrite, shared);
        case IndexFormat::None:
            break;
    }
    NvRaise(TnvMsg::UnknownIndexType, {std::string(path)});
}
