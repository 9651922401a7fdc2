#pragma once

#include <cstdint>
#include <string>

namespace Hoard::Compatibility {

// The platform code this build writes into table headers and accepts from them.
inline constexpr std::uint32_t thisPlatform = 2;

// The printable name of a platform code ("x86_64-linux" for 2).
std::string platformType(std::uint32_t code);

}  // namespace Hoard::Compatibility
