#pragma once

// Reading and damaging table files behind their mappings.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <string>

namespace TestSupport {

// The file's bytes at `offset`, read behind the mappings.
template <class T>
T readAt(const std::string& path, std::size_t offset) {
    T v{};
    const int fd = ::open(path.c_str(), O_RDONLY);
    EXPECT_EQ(::pread(fd, &v, sizeof v, static_cast<off_t>(offset)), ssize_t(sizeof v)) << path;
    ::close(fd);
    return v;
}

// Writes `size` bytes at `offset` behind the mappings.
inline void writeAt(const std::string& path, std::size_t offset, const void* data,
                    std::size_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0644);
    EXPECT_EQ(::pwrite(fd, data, size, static_cast<off_t>(offset)), ssize_t(size)) << path;
    ::close(fd);
}

// Points the first link of every bucket in the bucket file `path` far beyond the slots.
inline void breakEveryBucket(const std::string& path) {
    const auto count = readAt<std::uint32_t>(path, 20);
    const std::uint32_t beyond = 0x7FFFFFF0u;
    for (std::uint32_t b = 0; b < count; ++b) writeAt(path, 32 + 8 * b + 4, &beyond, 4);
}

}  // namespace TestSupport
