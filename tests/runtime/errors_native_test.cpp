// The native port reads errno values with a table of its own: an errno value is not a Windows
// error code (13 is EACCES here, ERROR_INVALID_DATA there; 5 is EIO, not ERROR_ACCESS_DENIED).
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "errors.h"
#include "os/os.h"

namespace upkit {
namespace {

TEST(IoErrorKindNative, KindsFromErrnoValues) {
    struct Case {
        int32_t code;
        IoErrorKind kind;
    };
    const Case cases[] = {
        {ENOENT, IoErrorKind::NotFound},         {ENOTDIR, IoErrorKind::NotFound},
        {EACCES, IoErrorKind::PermissionDenied}, {EPERM, IoErrorKind::PermissionDenied},
        {EEXIST, IoErrorKind::AlreadyExists},    {EINVAL, IoErrorKind::InvalidInput},
        {EINTR, IoErrorKind::Interrupted},       {ENOMEM, IoErrorKind::OutOfMemory},
        {ENOSYS, IoErrorKind::Unsupported},      {EIO, IoErrorKind::Uncategorized},
        {ENOSPC, IoErrorKind::Uncategorized},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IoErrorKindFromOsCode(c.code), c.kind) << c.code;
        EXPECT_EQ(IoError::FromOsCode(c.code).Kind(), c.kind) << c.code;
    }
}

TEST(IoErrorKindNative, MessagesAreTheSystemsOwn) {
    EXPECT_EQ(SystemErrorMessage(EACCES), std::strerror(EACCES));
    EXPECT_EQ(IoError::FromOsCode(ENOENT).Display(),
              std::string(std::strerror(ENOENT)) + " (os error " + std::to_string(ENOENT) + ")");
}

}  // namespace
}  // namespace upkit
