// A folder of a test's own under the system's temporary folder: made empty, removed with
// everything in it at the end. Its name holds a number drawn once a process and a running one, so
// suites that run at once, and fixtures made one after another, never share one.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "doctest.h"

namespace olv {

struct TestFolder {
    std::filesystem::path dir;

    explicit TestFolder(const char* prefix) {
        static const uint32_t run = std::random_device{}();
        static std::atomic<uint32_t> serial{0};
        dir = std::filesystem::temp_directory_path() /
              (std::string(prefix) + std::to_string(run) + "_" + std::to_string(++serial));
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
        REQUIRE(std::filesystem::create_directories(dir));
    }
    ~TestFolder() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    TestFolder(const TestFolder&) = delete;
    TestFolder& operator=(const TestFolder&) = delete;

    // Writes the file name (a relative path in UTF-8: its folders are made) whole; its path.
    std::filesystem::path Write(const std::string& name, std::string_view bytes) const {
        // Taken as UTF-8 on every system (a narrow path is the code page's on Windows).
        const std::filesystem::path path = dir / std::u8string(name.begin(), name.end());
        std::filesystem::create_directories(path.parent_path());
        std::ofstream out(path, std::ios::binary);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.close();
        REQUIRE(out.good());
        return path;
    }
    std::filesystem::path Write(const std::string& name,
                                const std::vector<unsigned char>& bytes) const {
        return Write(name,
                     std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    }
};

} // namespace olv
