#include "platform/text_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace wigwag {

FileRead ReadWholeFile(const std::string& name, std::size_t limit) {
    FileRead result;
    std::FILE* file = std::fopen(name.c_str(), "rb");
    if (!file) {
        result.missing = errno == ENOENT;
        return result;
    }
    result.opened = true;
    char buffer[4096];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) result.bytes.append(buffer, got);
    result.failed = std::ferror(file) != 0;
    if (result.bytes.size() > limit) {
        result.bytes.resize(limit);
        result.failed = true;
    }
    std::fclose(file);
    return result;
}

namespace {

std::string LastError() {
    return std::strerror(errno);
}

// Puts the written temporary file in place of the settings file in one step.
bool MoveIntoPlace(const std::string& from, const std::string& to, std::string& error) {
#ifdef _WIN32
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    char text[256] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   GetLastError(), 0, text, sizeof text, nullptr);
    error = text;
    while (!error.empty() && (error.back() == '\n' || error.back() == '\r')) error.pop_back();
    return false;
#else
    if (std::rename(from.c_str(), to.c_str()) == 0) return true;
    error = LastError();
    return false;
#endif
}

bool FlushToDisk(std::FILE* file) {
    if (std::fflush(file) != 0) return false;
#ifdef _WIN32
    return _commit(_fileno(file)) == 0;
#else
    return fsync(fileno(file)) == 0;
#endif
}

}  // namespace

FileWrite ReplaceWholeFile(const std::string& name, std::string_view bytes) {
    const std::string temporary = name + ".new";
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (!file) return {false, LastError()};
    const bool written =
        std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size() && FlushToDisk(file);
    std::string error = written ? std::string() : LastError();
    if (std::fclose(file) != 0 && written) error = LastError();
    if (!error.empty()) {
        std::remove(temporary.c_str());
        return {false, error};
    }
    if (!MoveIntoPlace(temporary, name, error)) {
        std::remove(temporary.c_str());
        return {false, error};
    }
    return {true, {}};
}

}  // namespace wigwag
