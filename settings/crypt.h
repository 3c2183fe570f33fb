// The cipher of the stored FTP password: RC4 under a key derived from the
// MD5 digest of a fixed pass phrase, so every installation shares one key and
// the stored bytes stay compatible with earlier releases.
#pragma once

#include <string>

namespace Vesk {

class CVeskCrypt {
public:
    // Results of Initialize. Callers treat every non-zero result alike.
    static constexpr int kReady = 0;
    static constexpr int kContainerFailed = 2;
    static constexpr int kHashFailed = 3;
    static constexpr int kDeriveKeyFailed = 4;

    CVeskCrypt();
    virtual ~CVeskCrypt();

    CVeskCrypt(const CVeskCrypt&) = delete;
    CVeskCrypt& operator=(const CVeskCrypt&) = delete;

    // Derives the key; 0 when ready. Encrypt and Decrypt refuse to work
    // until a call has returned 0.
    int Initialize();

    // Byte strings of any content, NULs included; the output has the input's
    // length. On failure the output is left untouched.
    bool Encrypt(const std::string& plain, std::string& cipher);
    bool Decrypt(const std::string& cipher, std::string& plain);

    bool IsReady() const { return m_bReady; }

private:
    // Every call restarts the key stream, so both directions are the same XOR.
    bool Transform(const std::string& in, std::string& out) const;

    std::string m_strPassPhrase = "PalmerOstwickHRBSignal";  // hashed without a terminator
    std::string m_key;                   // the 16 bytes the RC4 schedule runs over
    bool m_bReady = false;
};

}  // namespace Vesk
