// A fresh, mounted device folder per test, removed afterwards.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/device.h"
#include "platform/faults.h"

namespace testing_support {

inline std::filesystem::path MakeTempDir(const char* prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (std::string(prefix) + "XXXXXX")).string();
    char* made = ::mkdtemp(pattern.data());
    if (made == nullptr) throw std::runtime_error("mkdtemp failed");
    return std::filesystem::path(made);
}

inline std::string ReadHostFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteHostFile(const std::filesystem::path& path, const std::string& bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Makes `folder` a device folder, as the first command on it does, so that the output of a
// test's first command is that of a command on an existing device.
inline void ProvisionDevice(const std::filesystem::path& folder) {
    std::string error;
    if (!platform::device::Mount(folder, &error)) throw std::runtime_error(error);
    platform::device::Unmount();
}

class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::faults::Reset();
        base_ = MakeTempDir("tallymere-test-");
        device_ = base_ / "device";
        std::string error;
        ASSERT_TRUE(platform::device::Mount(device_, &error)) << error;
    }
    void TearDown() override {
        platform::device::Unmount();
        platform::faults::Reset();
        std::error_code ec;
        std::filesystem::remove_all(base_, ec);
    }
    // The host path of a device path under the test's device folder.
    std::filesystem::path Host(const std::string& relative) const { return device_ / relative; }

    std::filesystem::path base_;
    std::filesystem::path device_;
};

}  // namespace testing_support
