#include "errors.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "os/os.h"
#include "text.h"

namespace upkit {
namespace {

Path P(const char16_t* units) {
    return Path(std::u16string(units));
}

TEST(RuntimeErrorDebug, EveryKindInItsForm) {
    struct Case {
        std::function<RuntimeError()> make;
        std::string expected;
    };
    const Case cases[] = {
        {[] { return RuntimeError::FileNotFound(P(u"C:\\App\\x")); },
         R"(FileNotFound("C:\\App\\x"))"},
        {[] {
             return RuntimeError::Io(IoError::WithMessage(IoErrorKind::InvalidData,
                                                          "stream did not contain valid UTF-8"));
         },
         R"(Io(Custom { kind: InvalidData, error: "stream did not contain valid UTF-8" }))"},
        {[] {
             return RuntimeError::Io(IoError::WithMessage(IoErrorKind::InvalidInput,
                                                          "nul byte found in provided data"));
         },
         R"(Io(Custom { kind: InvalidInput, error: "nul byte found in provided data" }))"},
        {[] { return RuntimeError::Io(IoError::FromKind(IoErrorKind::NotFound)); },
         "Io(Kind(NotFound))"},
        {[] { return RuntimeError::ChecksumInvalid(P(u"C:\\p\\a.nupkg"), "a\"1", "b"); },
         R"(ChecksumInvalid("C:\\p\\a.nupkg", "a\"1", "b"))"},
        {[] { return RuntimeError::SizeInvalid(P(u"C:\\p"), 1, 18446744073709551615u); },
         R"(SizeInvalid("C:\\p", 1, 18446744073709551615))"},
        {[] {
             return RuntimeError::Zip(ZipError{19, 0, "Not a zip archive"});
         },
         R"(Zip(ZipError { code: 19, system: 0, message: "Not a zip archive" }))"},
        {[] {
             return RuntimeError::Zip(ZipError{11, 2, "Can't open file"});
         },
         R"(Zip(ZipError { code: 11, system: 2, message: "Can't open file" }))"},
        {[] {
             return RuntimeError::Network(
                 std::make_unique<NestedError>(NestedError{"timed out \"here\""}));
         },
         R"(Network("timed out \"here\""))"},
        {[] { return RuntimeError::Json(std::make_unique<NestedError>(NestedError{"line 1\nx"})); },
         R"(Json("line 1\nx"))"},
        {[] {
             return RuntimeError::Semver(SemverError{"empty string, expected a semver version"});
         },
         R"(Semver(Error("empty string, expected a semver version")))"},
        {[] { return RuntimeError::InvalidPackage("No .nuspec manifest found"); },
         R"(InvalidPackage("No .nuspec manifest found"))"},
        {[] { return RuntimeError::NotInstalled("Could not auto-locate app manifest"); },
         R"(NotInstalled("Could not auto-locate app manifest"))"},
        {[] { return RuntimeError::NotSupported("None source does not checking release feed"); },
         R"(NotSupported("None source does not checking release feed"))"},
        {[] { return RuntimeError::Other("two\nlines\ttab\r"); }, R"(Other("two\nlines\ttab\r"))"},
        {[] {
             return RuntimeError::Win32(Win32Error{-2147024894, "Not found."});
         },
         R"(Win32(Win32Error { code: -2147024894, message: "Not found." }))"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.make().Debug(), c.expected);
    }
}

TEST(RuntimeErrorDebug, MessageKindsKeepOneLogLine) {
    const std::string debug =
        RuntimeError::NotInstalled("Manifest file does not exist or is not readable: \"C:\\\\m\"\n")
            .Debug();
    EXPECT_EQ(debug,
              R"(NotInstalled("Manifest file does not exist or is not readable: \"C:\\\\m\"\n"))");
    EXPECT_EQ(debug.find('\n'), std::string::npos);
}

TEST(RuntimeErrorDebug, PathWithBackslashesQuotesAndBrokenUtf16) {
    EXPECT_EQ(RuntimeError::FileNotFound(P(u"C:\\a \"b\"\\c")).Debug(),
              R"(FileNotFound("C:\\a \"b\"\\c"))");
    const char16_t lone[] = {u'C', u':', u'\\', 0xD800, u'x', 0};
    EXPECT_EQ(RuntimeError::FileNotFound(P(lone)).Debug(), R"(FileNotFound("C:\\\u{d800}x"))");
    EXPECT_EQ(RuntimeError::FileNotFound(P(u"C:\\Oyunlar\\Zelt ğüşİ\\x")).Debug(),
              "FileNotFound(\"C:\\\\Oyunlar\\\\Zelt ğüşİ\\\\x\")");
}

TEST(RuntimeErrorDebug, HresultFromProcessCreationShowsNegativeCode) {
    // 0x80070000 | 2, as built from a last error of 2.
    const int32_t code = static_cast<int32_t>(0x80070002u);
    const IoError io = IoError::FromOsCode(code);
    EXPECT_TRUE(io.IsOs());
    EXPECT_EQ(io.OsCode(), -2147024894);
    EXPECT_EQ(RuntimeError::Io(IoError::FromOsCode(code)).Debug(),
              "Io(Os { code: -2147024894, kind: Uncategorized, message: " +
                  QuoteText(SystemErrorMessage(code)) + " })");
    EXPECT_EQ(io.Display(), SystemErrorMessage(code) + " (os error -2147024894)");
}

TEST(RuntimeErrorAccess, PayloadViews) {
    const RuntimeError notFound = RuntimeError::FileNotFound(P(u"C:\\x"));
    ASSERT_NE(notFound.AsPath(), nullptr);
    EXPECT_EQ(notFound.AsPath()->Units(), u"C:\\x");
    EXPECT_EQ(notFound.AsIo(), nullptr);
    EXPECT_EQ(notFound.Message(), "");

    const RuntimeError size = RuntimeError::SizeInvalid(P(u"s"), 1, 2);
    ASSERT_NE(size.AsPath(), nullptr);
    EXPECT_EQ(size.AsPath()->Units(), u"s");

    const RuntimeError io = RuntimeError::Io(IoError::FromKind(IoErrorKind::InvalidData));
    ASSERT_NE(io.AsIo(), nullptr);
    EXPECT_EQ(io.AsIo()->Kind(), IoErrorKind::InvalidData);
    EXPECT_EQ(io.GetKind(), RuntimeError::Kind::Io);

    const RuntimeError other = RuntimeError::NotSupported("None source does not support downloads");
    EXPECT_EQ(other.GetKind(), RuntimeError::Kind::NotSupported);
    EXPECT_EQ(other.Message(), "None source does not support downloads");
    EXPECT_EQ(other.AsPath(), nullptr);
}

TEST(RuntimeErrorMove, PayloadTravelsWithoutCopy) {
    RuntimeError first = RuntimeError::Other(std::string(1000, 'x'));
    const char* data = first.Message().data();
    RuntimeError second = std::move(first);
    EXPECT_EQ(second.Message().data(), data);
    Result<int> result(std::move(second));
    ASSERT_FALSE(result.ok());
    RuntimeError taken = result.take_error();
    EXPECT_EQ(taken.Message().data(), data);
    EXPECT_EQ(taken.Message().size(), 1000u);
}

// The forms the log shows, written out: every kind the runtime gives an I/O error, alone and with
// the messages the runtime puts into one, and an operating-system error (its kind read with the
// platform's table: code 2 is "not found" for Windows and for errno alike).
TEST(IoErrorForms, DebugAndDisplay) {
    const struct {
        IoError error;
        const char* debug;
        const char* display;
    } cases[] = {
        {IoError::FromKind(IoErrorKind::NotFound), "Kind(NotFound)", "entity not found"},
        {IoError::FromKind(IoErrorKind::PermissionDenied), "Kind(PermissionDenied)",
         "permission denied"},
        {IoError::FromKind(IoErrorKind::AlreadyExists), "Kind(AlreadyExists)",
         "entity already exists"},
        {IoError::FromKind(IoErrorKind::InvalidInput), "Kind(InvalidInput)",
         "invalid input parameter"},
        {IoError::FromKind(IoErrorKind::InvalidData), "Kind(InvalidData)", "invalid data"},
        {IoError::FromKind(IoErrorKind::UnexpectedEof), "Kind(UnexpectedEof)",
         "unexpected end of file"},
        {IoError::FromKind(IoErrorKind::Interrupted), "Kind(Interrupted)", "operation interrupted"},
        {IoError::FromKind(IoErrorKind::Unsupported), "Kind(Unsupported)", "unsupported"},
        {IoError::FromKind(IoErrorKind::OutOfMemory), "Kind(OutOfMemory)", "out of memory"},
        {IoError::FromKind(IoErrorKind::Other), "Kind(Other)", "other error"},
        {IoError::FromKind(IoErrorKind::Uncategorized), "Kind(Uncategorized)",
         "uncategorized error"},
        {IoError::WithMessage(IoErrorKind::InvalidData, "Invalid checksum"),
         R"(Custom { kind: InvalidData, error: "Invalid checksum" })", "Invalid checksum"},
        {IoError::WithMessage(IoErrorKind::InvalidData, "stream did not contain valid UTF-8"),
         R"(Custom { kind: InvalidData, error: "stream did not contain valid UTF-8" })",
         "stream did not contain valid UTF-8"},
        {IoError::WithMessage(IoErrorKind::InvalidInput, "nul byte found in provided data"),
         R"(Custom { kind: InvalidInput, error: "nul byte found in provided data" })",
         "nul byte found in provided data"},
        {IoError::WithMessage(IoErrorKind::Other, "Read error: \"x\""),
         R"(Custom { kind: Other, error: "Read error: \"x\"" })", "Read error: \"x\""},
        {IoError::WithMessage(IoErrorKind::OutOfMemory, "Malloc failure"),
         R"(Custom { kind: OutOfMemory, error: "Malloc failure" })", "Malloc failure"},
        {IoError::WithMessage(IoErrorKind::Unsupported, "not on this system"),
         R"(Custom { kind: Unsupported, error: "not on this system" })", "not on this system"},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(c.error.IsOs()) << c.debug;
        EXPECT_EQ(c.error.Debug(), c.debug);
        EXPECT_EQ(c.error.Display(), c.display) << c.debug;
    }

    // The system's message text is the platform's own; the forms around it are the same
    // everywhere.
    const IoError os = IoError::FromOsCode(2);
    const std::string message = SystemErrorMessage(2);
    EXPECT_TRUE(os.IsOs());
    EXPECT_EQ(os.Debug(), "Os { code: 2, kind: NotFound, message: \"" + message + "\" }");
    EXPECT_EQ(os.Display(), message + " (os error 2)");
}

TEST(IoErrorForms, SystemMessagesAreTrimmed) {
    for (int32_t code : {2, 5, 87, 0, static_cast<int32_t>(0x80070005u), 999999}) {
        const std::string message = SystemErrorMessage(code);
        ASSERT_FALSE(message.empty()) << code;
        const char last = message.back();
        EXPECT_TRUE(last != '\r' && last != '\n' && last != ' ' && last != '\t') << code;
        EXPECT_TRUE(IsValidUtf8(message)) << code;
    }
}

}  // namespace
}  // namespace upkit
