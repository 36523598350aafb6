// The device the fuzz targets and the seed generator work on: a fresh device folder mounted
// once per process, OutputDir "\Out" and its archive directory "Out\Tallymere".
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace fuzzing {

// Mounts the device on first use and returns the host path of the archive directory.
const std::filesystem::path& ArchiveDir();

// Replaces a host file with the given bytes.
void WriteHostFile(const std::filesystem::path& path, const std::uint8_t* data, std::size_t size);
std::string ReadHostFile(const std::filesystem::path& path);

// Stops the process when a property the target checks does not hold (a finding).
[[noreturn]] void Violated(const char* what);

}  // namespace fuzzing
