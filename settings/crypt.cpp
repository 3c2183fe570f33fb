#include "settings/crypt.h"

#include "platform/digest.h"
#include "settings/rc4.h"

#include <utility>

namespace Vesk {
namespace {

// The original key provider made 40-bit RC4 keys and padded them with an
// 11-byte zero salt; the stored passwords depend on exactly that key.
constexpr int kKeyBytes = 5;
constexpr int kSaltBytes = 11;

}  // namespace

CVeskCrypt::CVeskCrypt() = default;

CVeskCrypt::~CVeskCrypt()
{
    m_key.assign(m_key.size(), '\0');  // do not leave key bytes in freed memory
}

int CVeskCrypt::Initialize()
{
    m_bReady = false;
    const platform::Md5Digest digest = platform::Md5(m_strPassPhrase);
    m_key.assign(reinterpret_cast<const char*>(digest.data()), kKeyBytes);
    m_key.append(kSaltBytes, '\0');
    m_bReady = true;
    return kReady;
}

bool CVeskCrypt::Encrypt(const std::string& plain, std::string& cipher)
{
    return Transform(plain, cipher);
}

bool CVeskCrypt::Decrypt(const std::string& cipher, std::string& plain)
{
    return Transform(cipher, plain);
}

bool CVeskCrypt::Transform(const std::string& in, std::string& out) const
{
    if (!m_bReady)
        return false;
    std::string buffer = in;  // `in` and `out` may be the same string
    Rc4(m_key).Apply(buffer);
    out = std::move(buffer);
    return true;
}

}  // namespace Vesk
