// Message digests from the system's crypto library.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace platform {

using Md5Digest = std::array<std::uint8_t, 16>;

// MD5 (RFC 1321): only for deriving the password cipher's key from its pass
// phrase, as the stored passwords were enciphered with such a key. Not for
// anything that needs a secure hash.
Md5Digest Md5(std::string_view data);

}  // namespace platform
