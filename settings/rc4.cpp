#include "settings/rc4.h"

#include <utility>

namespace Vesk {

Rc4::Rc4(const std::string& key)
{
    for (int n = 0; n < 256; ++n)
        m_state[n] = static_cast<std::uint8_t>(n);
    if (key.empty())
        return;  // unusable key; the identity state still never reads out of range
    std::uint8_t j = 0;
    for (int n = 0; n < 256; ++n) {
        j = static_cast<std::uint8_t>(j + m_state[n] + static_cast<std::uint8_t>(key[n % key.size()]));
        std::swap(m_state[n], m_state[j]);
    }
}

void Rc4::Apply(std::string& data)
{
    for (char& byte : data) {
        m_i = static_cast<std::uint8_t>(m_i + 1);
        m_j = static_cast<std::uint8_t>(m_j + m_state[m_i]);
        std::swap(m_state[m_i], m_state[m_j]);
        const std::uint8_t k = m_state[static_cast<std::uint8_t>(m_state[m_i] + m_state[m_j])];
        byte = static_cast<char>(static_cast<std::uint8_t>(byte) ^ k);
    }
}

}  // namespace Vesk
