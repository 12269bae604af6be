#include "errors.h"

#include "os/os.h"

#include "text.h"

namespace upkit {

namespace {

const char* IoErrorKindDescription(IoErrorKind kind) {
    switch (kind) {
        case IoErrorKind::NotFound:
            return "entity not found";
        case IoErrorKind::PermissionDenied:
            return "permission denied";
        case IoErrorKind::AlreadyExists:
            return "entity already exists";
        case IoErrorKind::InvalidInput:
            return "invalid input parameter";
        case IoErrorKind::InvalidData:
            return "invalid data";
        case IoErrorKind::UnexpectedEof:
            return "unexpected end of file";
        case IoErrorKind::Interrupted:
            return "operation interrupted";
        case IoErrorKind::Unsupported:
            return "unsupported";
        case IoErrorKind::OutOfMemory:
            return "out of memory";
        case IoErrorKind::Other:
            return "other error";
        case IoErrorKind::Uncategorized:
            return "uncategorized error";
    }
    return "uncategorized error";
}

const std::string& EmptyText() {
    static const std::string empty;
    return empty;
}

}  // namespace

const char* IoErrorKindName(IoErrorKind kind) {
    switch (kind) {
        case IoErrorKind::NotFound:
            return "NotFound";
        case IoErrorKind::PermissionDenied:
            return "PermissionDenied";
        case IoErrorKind::AlreadyExists:
            return "AlreadyExists";
        case IoErrorKind::InvalidInput:
            return "InvalidInput";
        case IoErrorKind::InvalidData:
            return "InvalidData";
        case IoErrorKind::UnexpectedEof:
            return "UnexpectedEof";
        case IoErrorKind::Interrupted:
            return "Interrupted";
        case IoErrorKind::Unsupported:
            return "Unsupported";
        case IoErrorKind::OutOfMemory:
            return "OutOfMemory";
        case IoErrorKind::Other:
            return "Other";
        case IoErrorKind::Uncategorized:
            return "Uncategorized";
    }
    return "Uncategorized";
}

IoError IoError::FromOsCode(int32_t code) {
    IoError e;
    e.repr_ = Repr::Os;
    e.code_ = code;
    e.kind_ = IoErrorKindFromOsCode(code);
    e.message_ = SystemErrorMessage(code);
    return e;
}

IoError IoError::WithMessage(IoErrorKind kind, std::string message) {
    IoError e;
    e.repr_ = Repr::Custom;
    e.kind_ = kind;
    e.message_ = std::move(message);
    return e;
}

IoError IoError::FromKind(IoErrorKind kind) {
    IoError e;
    e.repr_ = Repr::Simple;
    e.kind_ = kind;
    return e;
}

std::string IoError::Debug() const {
    switch (repr_) {
        case Repr::Os:
            return "Os { code: " + std::to_string(code_) + ", kind: " + IoErrorKindName(kind_) +
                   ", message: " + QuoteText(message_) + " }";
        case Repr::Custom:
            return std::string("Custom { kind: ") + IoErrorKindName(kind_) +
                   ", error: " + QuoteText(message_) + " }";
        case Repr::Simple:
            break;
    }
    return std::string("Kind(") + IoErrorKindName(kind_) + ")";
}

std::string IoError::Display() const {
    switch (repr_) {
        case Repr::Os:
            return message_ + " (os error " + std::to_string(code_) + ")";
        case Repr::Custom:
            return message_;
        case Repr::Simple:
            break;
    }
    return IoErrorKindDescription(kind_);
}

std::string ZipError::Debug() const {
    return "ZipError { code: " + std::to_string(zipCode) +
           ", system: " + std::to_string(systemCode) + ", message: " + QuoteText(message) + " }";
}

std::string SemverError::Debug() const {
    return "Error(" + QuoteText(message) + ")";
}

std::string Win32Error::Debug() const {
    return "Win32Error { code: " + std::to_string(hresult) + ", message: " + QuoteText(message) +
           " }";
}

RuntimeError RuntimeError::FileNotFound(Path path) {
    return RuntimeError(Kind::FileNotFound, std::move(path));
}
RuntimeError RuntimeError::Io(IoError error) {
    return RuntimeError(Kind::Io, std::move(error));
}
RuntimeError RuntimeError::ChecksumInvalid(Path path, std::string expected, std::string actual) {
    return RuntimeError(Kind::ChecksumInvalid,
                        PathTexts{std::move(path), std::move(expected), std::move(actual)});
}
RuntimeError RuntimeError::SizeInvalid(Path path, uint64_t expected, uint64_t actual) {
    return RuntimeError(Kind::SizeInvalid, PathSizes{std::move(path), expected, actual});
}
RuntimeError RuntimeError::Zip(ZipError error) {
    return RuntimeError(Kind::Zip, std::move(error));
}
RuntimeError RuntimeError::Network(std::unique_ptr<NestedError> error) {
    return RuntimeError(Kind::Network, std::move(error));
}
RuntimeError RuntimeError::Json(std::unique_ptr<NestedError> error) {
    return RuntimeError(Kind::Json, std::move(error));
}
RuntimeError RuntimeError::Semver(SemverError error) {
    return RuntimeError(Kind::Semver, std::move(error));
}
RuntimeError RuntimeError::InvalidPackage(std::string message) {
    return RuntimeError(Kind::InvalidPackage, std::move(message));
}
RuntimeError RuntimeError::NotInstalled(std::string message) {
    return RuntimeError(Kind::NotInstalled, std::move(message));
}
RuntimeError RuntimeError::NotSupported(std::string message) {
    return RuntimeError(Kind::NotSupported, std::move(message));
}
RuntimeError RuntimeError::Other(std::string message) {
    return RuntimeError(Kind::Other, std::move(message));
}
RuntimeError RuntimeError::Win32(Win32Error error) {
    return RuntimeError(Kind::Win32, std::move(error));
}

const std::string& RuntimeError::Message() const {
    if (const auto* text = std::get_if<std::string>(&payload_)) return *text;
    return EmptyText();
}

const IoError* RuntimeError::AsIo() const {
    return std::get_if<IoError>(&payload_);
}

const Path* RuntimeError::AsPath() const {
    if (const auto* p = std::get_if<Path>(&payload_)) return p;
    if (const auto* p = std::get_if<PathTexts>(&payload_)) return &p->path;
    if (const auto* p = std::get_if<PathSizes>(&payload_)) return &p->path;
    return nullptr;
}

std::string RuntimeError::Debug() const {
    const auto nested = [&](const char* name) {
        const auto& error = std::get<std::unique_ptr<NestedError>>(payload_);
        return std::string(name) + "(" + QuoteText(error ? error->description : std::string()) +
               ")";
    };
    const auto message = [&](const char* name) {
        return std::string(name) + "(" + QuoteText(std::get<std::string>(payload_)) + ")";
    };
    switch (kind_) {
        case Kind::FileNotFound:
            return "FileNotFound(" + PathDebug(std::get<Path>(payload_)) + ")";
        case Kind::Io:
            return "Io(" + std::get<IoError>(payload_).Debug() + ")";
        case Kind::ChecksumInvalid: {
            const auto& p = std::get<PathTexts>(payload_);
            return "ChecksumInvalid(" + PathDebug(p.path) + ", " + QuoteText(p.a) + ", " +
                   QuoteText(p.b) + ")";
        }
        case Kind::SizeInvalid: {
            const auto& p = std::get<PathSizes>(payload_);
            return "SizeInvalid(" + PathDebug(p.path) + ", " + std::to_string(p.a) + ", " +
                   std::to_string(p.b) + ")";
        }
        case Kind::Zip:
            return "Zip(" + std::get<ZipError>(payload_).Debug() + ")";
        case Kind::Network:
            return nested("Network");
        case Kind::Json:
            return nested("Json");
        case Kind::Semver:
            return "Semver(" + std::get<SemverError>(payload_).Debug() + ")";
        case Kind::InvalidPackage:
            return message("InvalidPackage");
        case Kind::NotInstalled:
            return message("NotInstalled");
        case Kind::NotSupported:
            return message("NotSupported");
        case Kind::Other:
            return message("Other");
        case Kind::Win32:
            return "Win32(" + std::get<Win32Error>(payload_).Debug() + ")";
    }
    return "Other(\"\")";
}

}  // namespace upkit
