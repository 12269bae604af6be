// The runtime's one error value and the nested error values it carries.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>

#include "misc_path.h"

namespace upkit {

// Category of an I/O error; the names appear in the debug form.
enum class IoErrorKind {
    NotFound,
    PermissionDenied,
    AlreadyExists,
    InvalidInput,
    InvalidData,
    UnexpectedEof,
    Interrupted,
    Unsupported,
    OutOfMemory,
    Other,
    Uncategorized,
};

const char* IoErrorKindName(IoErrorKind kind);

// An operating-system I/O error: a raw OS code (with the system's message for it), a category
// with a fixed message, or a category alone.
// (The analyzer does not follow std::variant's storage, where IoResult keeps its error, and takes
// the fields of a moved error for uninitialised.)
class IoError {  // NOLINT(clang-analyzer-core.uninitialized.Assign)
public:
    static IoError FromOsCode(int32_t code);
    static IoError WithMessage(IoErrorKind kind, std::string message);
    static IoError FromKind(IoErrorKind kind);

    bool IsOs() const { return repr_ == Repr::Os; }
    int32_t OsCode() const { return code_; }
    IoErrorKind Kind() const { return kind_; }
    const std::string& Message() const { return message_; }

    // "Os { code: 2, kind: NotFound, message: \"...\" }", "Custom { kind: InvalidData, error:
    // \"...\" }" or "Kind(NotFound)".
    std::string Debug() const;
    // "<system message> (os error 2)" or the message text.
    std::string Display() const;

private:
    enum class Repr { Os, Custom, Simple };
    Repr repr_ = Repr::Simple;
    int32_t code_ = 0;
    IoErrorKind kind_ = IoErrorKind::Other;
    std::string message_;
};

// An error of the ZIP archive reader: its own error code, the system error code it carries (0 when
// none), and its message.
struct ZipError {
    int zipCode = 0;
    int systemCode = 0;
    std::string message;
    std::string Debug() const;  // ZipError { code: 19, system: 0, message: "Not a zip archive" }
};

// A SemVer parse error; its debug form is Error("...").
struct SemverError {
    std::string message;
    std::string Debug() const;
};

// A Windows HRESULT with the system's message text for it.
struct Win32Error {
    int32_t hresult = 0;
    std::string message;
    std::string Debug() const;
};

// Nested errors of kinds this program never produces; held by reference.
struct NestedError {
    std::string description;
};

class RuntimeError {
public:
    enum class Kind {
        FileNotFound,
        Io,
        ChecksumInvalid,
        SizeInvalid,
        Zip,
        Network,
        Json,
        Semver,
        InvalidPackage,
        NotInstalled,
        NotSupported,
        Other,
        Win32,
    };

    static RuntimeError FileNotFound(Path path);
    static RuntimeError Io(IoError error);
    static RuntimeError ChecksumInvalid(Path path, std::string expected, std::string actual);
    static RuntimeError SizeInvalid(Path path, uint64_t expected, uint64_t actual);
    static RuntimeError Zip(ZipError error);
    static RuntimeError Network(std::unique_ptr<NestedError> error);
    static RuntimeError Json(std::unique_ptr<NestedError> error);
    static RuntimeError Semver(SemverError error);
    static RuntimeError InvalidPackage(std::string message);
    static RuntimeError NotInstalled(std::string message);
    static RuntimeError NotSupported(std::string message);
    static RuntimeError Other(std::string message);
    static RuntimeError Win32(Win32Error error);

    // The analyzer does not follow std::variant's storage (Result keeps its error in one) and
    // takes a moved error's fields for uninitialised.
    // NOLINTNEXTLINE(clang-analyzer-core.uninitialized.Assign)
    RuntimeError(RuntimeError&&) noexcept = default;
    RuntimeError& operator=(RuntimeError&&) noexcept = default;
    RuntimeError(const RuntimeError&) = delete;
    RuntimeError& operator=(const RuntimeError&) = delete;

    Kind GetKind() const { return kind_; }
    // The message of InvalidPackage, NotInstalled, NotSupported and Other; empty otherwise.
    const std::string& Message() const;
    const IoError* AsIo() const;
    const Path* AsPath() const;

    // The one text rendering: Kind(payload, ...).
    std::string Debug() const;

private:
    struct PathTexts {
        Path path;
        std::string a, b;
    };
    struct PathSizes {
        Path path;
        uint64_t a, b;
    };
    using Payload =
        std::variant<Path, IoError, PathTexts, PathSizes, ZipError, std::unique_ptr<NestedError>,
                     SemverError, std::string, Win32Error>;
    RuntimeError(Kind kind, Payload payload) : kind_(kind), payload_(std::move(payload)) {}
    Kind kind_;
    Payload payload_;
};

// Either a value or an error (a RuntimeError unless said otherwise).
template <class T, class E = RuntimeError>
class Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(E error) : v_(std::in_place_index<1>, std::move(error)) {}
    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() { return std::get<0>(v_); }
    const T& value() const { return std::get<0>(v_); }
    T& operator*() { return value(); }
    T* operator->() { return &value(); }
    E& error() { return std::get<1>(v_); }
    const E& error() const { return std::get<1>(v_); }
    E take_error() { return std::move(std::get<1>(v_)); }

private:
    std::variant<T, E> v_;
};

template <class T>
using IoResult = Result<T, IoError>;

struct Unit {};
using Status = Result<Unit>;
inline Status Ok() {
    return Status(Unit{});
}

}  // namespace upkit
