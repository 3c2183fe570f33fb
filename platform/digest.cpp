#include "platform/digest.h"

// The one-shot MD5() rather than EVP: EVP would bring up the provider
// machinery and read the system's OpenSSL configuration at every start, some
// 2 MiB of resident memory for a single 22-byte hash even when TLS is off.
// MD5() is deprecated in OpenSSL 3 but kept, and needs no provider.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/md5.h>

namespace platform {

Md5Digest Md5(std::string_view data)
{
    Md5Digest digest{};
    MD5(reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest.data());
    return digest;
}

}  // namespace platform
