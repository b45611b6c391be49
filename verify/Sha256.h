// CSha256: SHA-256 through the system's own cryptography (CNG), one object reused for file after file.
#pragma once
#include <windows.h>
#include <bcrypt.h>
#include <cstddef>

// The same digests as Get-FileHash and certutil, which use the same provider. Not thread-safe: one object per
// hashing thread. A failure loses the digest under way: every later call fails too, until Open succeeds again.
class CSha256
{
public:
    CSha256() = default;
    ~CSha256();
    CSha256(const CSha256&) = delete;
    CSha256& operator=(const CSha256&) = delete;

    // Opens the provider and the hash object; false (see Error) when the system has no SHA-256.
    bool Open();
    // Adds n bytes to the digest of the current file; any n, also past 4 GiB.
    bool Update(const void* p, size_t n);
    // The digest of everything added since Open or the last Finish; the object is then ready for the next file.
    bool Finish(BYTE digest[32]);
    // The NTSTATUS of the last call into the system: after a false return, why it failed.
    NTSTATUS Error() const { return m_nError; }
    // True when the system keeps one hash object for every file (Windows 8 and later); Windows 7 refuses that, and
    // a hash object is then created for each file.
    bool Reusable() const { return m_bReusable; }

private:
    bool CreateHash();
    void Close();
    BCRYPT_ALG_HANDLE m_hAlg = nullptr;
    BCRYPT_HASH_HANDLE m_hHash = nullptr;
    bool m_bReusable = false;
    NTSTATUS m_nError = 0;
};
