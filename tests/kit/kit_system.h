// What the report's first lines say about the PC the kit ran on: a failure report from a studio's
// QA person is only useful when it tells which Windows, which rights, which drive.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace zelt::kit {

// "Label: value" lines: Windows and its build, Wine, the processor, the user's rights, the
// long-path setting and the file system of the kit's folder.
std::vector<std::string> DescribeSystem(const std::wstring& kitFolder);

// The SHA-256 of the file's bytes in lower-case hex, computed by the system (BCrypt); nothing
// when the file cannot be read.
std::optional<std::string> Sha256Hex(const std::wstring& path);

}  // namespace zelt::kit
