#include "platform/digest.h"

#include <openssl/evp.h>

#include <cstdlib>

namespace platform {

Md5Digest Md5(std::string_view data)
{
    Md5Digest digest{};
    unsigned length = 0;
    // The default provider always has MD5: a failure here is a broken
    // installation, and a wrong key would garble every stored password.
    if (EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_md5(), nullptr) != 1 ||
        length != digest.size())
        std::abort();
    return digest;
}

}  // namespace platform
