// RC4 stream cipher. Kept separate from the password cipher so that the key
// schedule and the key stream can be checked on their own. It stays our own
// few lines although libcrypto is linked: OpenSSL 3 keeps RC4 only in its
// legacy provider, which a system need not install and which would have to
// be loaded at run time just for the stored password.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace Vesk {

class Rc4 {
public:
    // Runs the key schedule over the whole key (any length from 1 to 256 bytes).
    explicit Rc4(const std::string& key);

    // XORs `data` in place with the next bytes of the key stream.
    void Apply(std::string& data);

private:
    std::array<std::uint8_t, 256> m_state{};
    std::uint8_t m_i = 0;
    std::uint8_t m_j = 0;
};

}  // namespace Vesk
