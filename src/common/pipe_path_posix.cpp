#include "common/pipe_path.hpp"

#include <filesystem>
#include <string_view>
#include <system_error>

namespace quelt {

std::string pipe_socket_path(const std::string& pipe_path) {
    constexpr std::string_view prefix = R"(\\.\pipe\)";
    if (std::string_view(pipe_path).substr(0, prefix.size()) != prefix) return pipe_path;
    std::error_code ignored;
    std::filesystem::path directory = std::filesystem::temp_directory_path(ignored);
    if (directory.empty()) directory = "/tmp";
    return (directory / (pipe_path.substr(prefix.size()) + ".sock")).string();
}

}  // namespace quelt
