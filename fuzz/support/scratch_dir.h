#pragma once
// A directory of this process's own for targets that need files (server roots, downloads),
// in the temporary folder; removed when the process exits.
#include <filesystem>
#include <string>
#include <string_view>

namespace cvfuzz {

const std::filesystem::path& ScratchDir();

// Whole files: written (folders made as needed, an old file replaced) and read.
void WriteFile(const std::filesystem::path& path, std::string_view bytes);
std::string ReadFile(const std::filesystem::path& path);

}  // namespace cvfuzz
