#pragma once
// A fresh directory under the system's temporary directory, removed with everything in it at the end.

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace telva::test {

class TempDir {
public:
    TempDir() {
        std::random_device seed;
        path_ = std::filesystem::temp_directory_path() /
                ("telva-test-" + std::to_string(seed()) + std::to_string(seed()));
        std::filesystem::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // The directory as UTF-8 text ending in its separator, as the log functions take it.
    std::string dir() const {
        const auto text = path_.u8string();
        return std::string(text.begin(), text.end()) +
               static_cast<char>(std::filesystem::path::preferred_separator);
    }
    std::string file(const std::string& name) const { return dir() + name; }

    // Writes the file readable and writable by its owner only, as an administrator leaves config.ini
    // (a settings file every user may read is named in the daily log at start).
    void Write(const std::string& name, const std::string& bytes) const {
        {
            std::ofstream out(path_ / name, std::ios::binary | std::ios::trunc);
            out << bytes;
        }
#ifndef _WIN32
        std::error_code ignored;
        std::filesystem::permissions(
            path_ / name, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write, ignored);
#endif
    }
    std::string Read(const std::string& name) const {
        std::ifstream in(path_ / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

private:
    std::filesystem::path path_;
};

} // namespace telva::test
