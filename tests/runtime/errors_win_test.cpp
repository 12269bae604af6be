#include "errors.h"

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

}  // namespace
}  // namespace upkit
