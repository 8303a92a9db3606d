#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Last component of the path, trailing "/" ignored; empty for "" and "/".
std::string baseName(std::string_view sPath);

// Writes the whole block, repeating interrupted and partial writes; false with errno set.
[[nodiscard]] bool writeAll(int nFd, const char* pData, std::size_t uLength);
