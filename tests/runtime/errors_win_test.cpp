#include "errors.h"
#include "os/os.h"

#include <gtest/gtest.h>

#include <string>

namespace upkit {
namespace {

TEST(SystemErrorMessageWin, ComesFromTheSystem) {
    for (int32_t code : {2, 3, 5, 87}) {
        const std::string message = SystemErrorMessage(code);
        EXPECT_FALSE(message.empty()) << code;
        EXPECT_EQ(message.rfind("Unknown error", 0), std::string::npos) << message;
    }
    EXPECT_NE(SystemErrorMessage(2), SystemErrorMessage(5));
}

TEST(SystemErrorMessageWin, WrappedWin32CodeReadsLikeThePlainCode) {
    EXPECT_EQ(SystemErrorMessage(static_cast<int32_t>(0x80070002u)), SystemErrorMessage(2));
    EXPECT_EQ(SystemErrorMessage(static_cast<int32_t>(0x80070005u)), SystemErrorMessage(5));
}

TEST(SystemErrorMessageWin, UnknownCodeGetsAGenericText) {
    EXPECT_EQ(SystemErrorMessage(0x3FFFFFFF), "Unknown error 1073741823");
}

// Windows system error codes (and an HRESULT) read with the Windows table.
TEST(IoErrorKindWin, KindsFromSystemErrorCodes) {
    struct Case {
        int32_t code;
        IoErrorKind kind;
    };
    const Case cases[] = {
        {2, IoErrorKind::NotFound},
        {3, IoErrorKind::NotFound},
        {5, IoErrorKind::PermissionDenied},
        {80, IoErrorKind::AlreadyExists},
        {183, IoErrorKind::AlreadyExists},
        {87, IoErrorKind::InvalidInput},
        {123, IoErrorKind::InvalidInput},
        {13, IoErrorKind::InvalidData},
        {38, IoErrorKind::UnexpectedEof},
        {8, IoErrorKind::OutOfMemory},
        {14, IoErrorKind::OutOfMemory},
        {50, IoErrorKind::Unsupported},
        {0, IoErrorKind::Uncategorized},
        {32, IoErrorKind::Uncategorized},
        {-2147024894, IoErrorKind::Uncategorized},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IoErrorKindFromOsCode(c.code), c.kind) << c.code;
        EXPECT_EQ(IoError::FromOsCode(c.code).Kind(), c.kind) << c.code;
    }
}

}  // namespace
}  // namespace upkit
