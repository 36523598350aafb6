#include "fuzz_device.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "platform/device.h"
#include "support/settings.h"

namespace fuzzing {

const std::filesystem::path& ArchiveDir() {
    static const std::filesystem::path dir = [] {
        // A memory file system when there is one: every save syncs its file to the medium.
        const std::filesystem::path shm = "/dev/shm";
        const std::filesystem::path tmp =
            std::filesystem::is_directory(shm) ? shm : std::filesystem::temp_directory_path();
        std::string pattern = (tmp / "tallymere-fuzz-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) Violated("mkdtemp failed");
        const std::filesystem::path device = std::filesystem::path(pattern) / "device";
        std::string error;
        if (!platform::device::Mount(device, &error)) Violated(error.c_str());
        static const std::filesystem::path base(pattern);
        std::atexit([] {
            platform::device::Unmount();
            std::error_code ignored;
            std::filesystem::remove_all(base, ignored);
        });
        tallymere::SetRegistryStr(tallymere::kOutputDirValue, u"\\Out");
        std::filesystem::create_directories(device / "Out" / "Tallymere");
        return device / "Out" / "Tallymere";
    }();
    return dir;
}

void WriteHostFile(const std::filesystem::path& path, const std::uint8_t* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

std::string ReadHostFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void Violated(const char* what) {
    std::fprintf(stderr, "property violated: %s\n", what);
    std::abort();
}

}  // namespace fuzzing
