// CSha256: the provider opened once, one hash object kept across files where the system allows it.
#include "Sha256.h"

namespace
{
// CNG takes a ULONG per call; whole gibibytes keep the pieces aligned to the hash's blocks.
const size_t kLargestPiece = 0x40000000;
}

CSha256::~CSha256()
{
    Close();
}

void CSha256::Close()
{
    if (m_hHash)
        ::BCryptDestroyHash(m_hHash);
    if (m_hAlg)
        ::BCryptCloseAlgorithmProvider(m_hAlg, 0);
    m_hHash = nullptr;
    m_hAlg = nullptr;
}

bool CSha256::Open()
{
    Close();
    m_nError = ::BCryptOpenAlgorithmProvider(&m_hAlg, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    if (!BCRYPT_SUCCESS(m_nError))
    {
        m_hAlg = nullptr;
        return false;
    }
    // Windows 7 refuses the flag (STATUS_INVALID_PARAMETER); there a finished object is replaced by a new one.
    m_bReusable = BCRYPT_SUCCESS(::BCryptCreateHash(m_hAlg, &m_hHash, nullptr, 0, nullptr, 0, BCRYPT_HASH_REUSABLE_FLAG));
    if (m_bReusable)
        return true;
    m_hHash = nullptr;
    return CreateHash();
}

bool CSha256::CreateHash()
{
    // The system allocates the object's memory itself (Windows 7 and later).
    m_nError = ::BCryptCreateHash(m_hAlg, &m_hHash, nullptr, 0, nullptr, 0, 0);
    if (BCRYPT_SUCCESS(m_nError))
        return true;
    m_hHash = nullptr;
    return false;
}

bool CSha256::Update(const void* p, size_t n)
{
    if (!m_hHash)
        return false;
    // CNG reads the bytes and never writes them; its parameter is not const only by age.
    PUCHAR pb = static_cast<PUCHAR>(const_cast<void*>(p));
    while (n > 0)
    {
        const size_t nPiece = n < kLargestPiece ? n : kLargestPiece;
        m_nError = ::BCryptHashData(m_hHash, pb, static_cast<ULONG>(nPiece), 0);
        if (!BCRYPT_SUCCESS(m_nError))
        {
            // The digest so far is lost: nothing may be finished from it.
            ::BCryptDestroyHash(m_hHash);
            m_hHash = nullptr;
            return false;
        }
        pb += nPiece;
        n -= nPiece;
    }
    return true;
}

bool CSha256::Finish(BYTE digest[32])
{
    if (!m_hHash)
        return false;
    m_nError = ::BCryptFinishHash(m_hHash, digest, 32, 0);
    const bool bDone = BCRYPT_SUCCESS(m_nError);
    if (bDone && m_bReusable)
        return true;
    ::BCryptDestroyHash(m_hHash);
    m_hHash = nullptr;
    // A digest already finished stands; should the next object fail, the next file's first call says so.
    if (bDone)
        CreateHash();
    return bDone;
}
