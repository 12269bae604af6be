// The native build has no Windows installation to find: its file system holds nothing, so every
// location fails the way it does outside an installation. Tests pass their own LocatorFs.
#include "locator.h"

namespace upkit {

const LocatorFs& SystemLocatorFs() {
    static const LocatorFs* fs = new LocatorFs{
        [](const Path&) { return false; },
        [](const Path&) { return false; },
        []() -> IoResult<Path> { return IoError::FromKind(IoErrorKind::Unsupported); },
        []() -> IoResult<Path> { return IoError::FromKind(IoErrorKind::Unsupported); },
        [](const Path&) -> IoResult<std::string> {
            return IoError::FromKind(IoErrorKind::Unsupported);
        },
        [](const Path&) -> IoResult<Unit> { return IoError::FromKind(IoErrorKind::Unsupported); },
        [](const Path&, const Path&) -> IoResult<Unit> {
            return IoError::FromKind(IoErrorKind::Unsupported);
        },
        [](const Path&, const Path&) -> IoResult<Unit> {
            return IoError::FromKind(IoErrorKind::Unsupported);
        },
        [](const Path&) {},
    };
    return *fs;
}

}  // namespace upkit
