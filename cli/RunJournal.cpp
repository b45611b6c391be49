// CRunJournal: the fingerprint of a run, the rule of a row taken over, and the journal's place among the outputs.
#include "RunJournal.h"
#include "ExactPath.h"
#include "Sha256.h"
#include "VerifyRun.h"
#include "resource.h"
#include "version.h"
#include <cwchar>

using namespace RowJudgement;

namespace
{
std::wstring FullFolder(const std::wstring& given)
{
    std::wstring path = FullPath(given);
    if (!path.empty() && path.back() != L'\\')
        path += L'\\';
    return path;
}

bool SamePath(const std::wstring& a, const std::wstring& b)
{
    return ::CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

bool IsUnder(const std::wstring& path, const std::wstring& folder)
{
    return !folder.empty() && path.size() > folder.size() &&
           ::CompareStringOrdinal(path.c_str(), static_cast<int>(folder.size()), folder.c_str(),
                                  static_cast<int>(folder.size()), TRUE) == CSTR_EQUAL;
}

// The digest of the fingerprint, and in an audit of the manifest's bytes too: a manifest rewritten since would
// judge the same files otherwise.
bool FingerprintDigest(const CVerifyOptions& options, BYTE digest[32])
{
    CSha256 sha;
    const std::wstring text = RunFingerprint(options);
    if (!sha.Open() || !sha.Update(text.data(), text.size() * sizeof(wchar_t)))
        return false;
    if (!options.strCheck.empty())
    {
        HANDLE h = ::CreateFileW(ToExactPath(FullPath(options.strCheck).c_str()).c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            return false;
        std::vector<char> buf(1 << 20);
        DWORD n = 0;
        bool bRead;
        while ((bRead = ::ReadFile(h, buf.data(), static_cast<DWORD>(buf.size()), &n, nullptr) != FALSE) && n > 0)
            sha.Update(buf.data(), n);
        ::CloseHandle(h);
        if (!bRead)
            return false;
    }
    return sha.Finish(digest);
}

bool IsDecided(Verdict verdict)
{
    return verdict == kSame || verdict == kDiffers || verdict == kSize;
}

Verdict FromToken(const std::wstring& token)
{
    for (int v = 0; v < kVerdicts; ++v)
        if (token == kToken[v])
            return static_cast<Verdict>(v);
    return kVerdicts;
}
}

std::wstring RunFingerprint(const CVerifyOptions& options)
{
    std::wstring text;
    auto add = [&text](const wchar_t* key, const std::wstring& value) { text += std::wstring(key) + L"=" + value + L"\n"; };
    if (options.strCheck.empty())
        add(L"folder1", FullFolder(options.strFolder[0]));
    else
        add(L"check", FullPath(options.strCheck));
    add(L"folder2", FullFolder(options.strFolder[1]));
    add(L"recursive", options.bRecursive ? L"1" : L"0");
    add(L"all", options.bAll ? L"1" : L"0");
    add(L"recall", options.bRecall ? L"1" : L"0");
    add(L"buffered", options.bBuffered ? L"1" : L"0");
    add(L"backup", options.bBackup ? L"1" : L"0");
    add(L"manifest", options.strManifest.empty() ? std::wstring() : FullPath(options.strManifest));
    for (const std::wstring& pattern : options.filter.Given())
        add(L"exclude", pattern);
    return text;
}

bool CRunJournal::Open(const CVerifyOptions& options, std::wstring& error)
{
    if (options.strJournal.empty())
        return true;
    m_strGiven = options.strJournal;
    m_bCheck = !options.strCheck.empty();
    m_bManifest = !options.strManifest.empty();
    // Another output or an input is told apart before the run (FilesApart); nor may the journal be a file of the
    // folders compared, which would change under the run's eyes and be a row of its own.
    const std::wstring full = FullPath(options.strJournal);
    bool bClash = false;
    for (int s = m_bCheck ? 1 : 0; s < 2; ++s)
    {
        const std::wstring folder = FullFolder(options.strFolder[s]);
        bClash = bClash || SamePath(full + L"\\", folder) || IsUnder(full, folder);
    }
    if (bClash)
    {
        error = LoadText(IDS_CLI_JOURNAL_CLASH, m_strGiven);
        return false;
    }
    BYTE fingerprint[32];
    if (!FingerprintDigest(options, fingerprint))
    {
        error = LoadText(IDS_CLI_JOURNAL_CANNOT_OPEN, m_strGiven);
        return false;
    }
    UINT64 nBadLine = 0;
    switch (m_journal.Open(ToExactPath(full.c_str()), TAVIK_VERSION, fingerprint, nBadLine))
    {
    case CJournal::kFresh:
        return true;
    case CJournal::kResumed:
        m_bResumed = true;
        return true;
    case CJournal::kNotJournal:
        error = LoadText(IDS_CLI_JOURNAL_NOT_JOURNAL, m_strGiven);
        return false;
    case CJournal::kOtherVersion:
        error = LoadText(IDS_CLI_JOURNAL_OTHER_VERSION, m_strGiven);
        return false;
    case CJournal::kOtherRun:
        error = LoadText(IDS_CLI_JOURNAL_OTHER_RUN, m_strGiven);
        return false;
    case CJournal::kDamaged:
        error = LoadText(IDS_CLI_JOURNAL_DAMAGED, m_strGiven, std::to_wstring(nBadLine));
        return false;
    default:
        error = LoadText(IDS_CLI_JOURNAL_CANNOT_OPEN, m_strGiven);
        return false;
    }
}

bool CRunJournal::Holds(const CListedPair& pair) const
{
    if (!m_bResumed || pair.kind[0] != EListed::kFile || pair.kind[1] != EListed::kFile)
        return false;
    CJournalRow r;
    if (!m_journal.Find(pair.strName, r) || !IsDecided(FromToken(r.verdict)) || (m_bManifest && !r.bDigest))
        return false;
    for (int s = 0; s < 2; ++s)
        if (r.kind[s] != static_cast<BYTE>(pair.kind[s]) || r.nListedSize[s] != pair.nSize[s] ||
            r.nWriteTime[s] != pair.nWriteTime[s] || r.nFileId[s] != pair.nFileId[s])
            return false;
    return true;
}

bool CRunJournal::TakeOver(const CListedPair& pair, CVerifyRow& row, Verdict& verdict, CStreamVerdict& v)
{
    CJournalRow r;
    if (!Holds(pair) || !m_journal.Find(pair.strName, r))
        return false;
    verdict = FromToken(r.verdict);
    for (int s = 0; s < 2; ++s)
    {
        row.bHasSize[s] = r.bHasSize[s];
        row.nSize[s] = r.nSize[s];
    }
    row.pszMode = r.mode == L"fast" ? L"fast" : r.mode == L"normal" ? L"normal" : nullptr;
    row.bHasDetail = r.bHasDetail;
    row.nDetail = r.nDetail;
    row.detailWord = r.detailWord;
    // Nothing read here: the manifest's line comes from the record, and no bytes count as hashed by this run.
    v = CStreamVerdict();
    v.result = CStreamVerdict::kSame;
    v.bRead = true;
    v.bHashed = r.bDigest;
    memcpy(v.digest, r.digest, sizeof v.digest);
    v.window = r.window;
    ++m_nTaken;
    return true;
}

void CRunJournal::Note(const CListedPair& pair, const CVerifyRow& row, Verdict verdict, const CStreamVerdict* pv)
{
    // Trouble (cannot-open, read-error) is not kept: a file another program held, or a share that dropped, is
    // tried again.
    if (!m_journal.IsOpen() || !pv || !IsDecided(verdict))
        return;
    CJournalRow r;
    r.name = static_cast<LPCWSTR>(pair.strName);
    for (int s = 0; s < 2; ++s)
    {
        r.kind[s] = static_cast<BYTE>(pair.kind[s]);
        r.nListedSize[s] = pair.nSize[s];
        r.nWriteTime[s] = pair.nWriteTime[s];
        r.nFileId[s] = pair.nFileId[s];
        r.bHasSize[s] = row.bHasSize[s];
        r.nSize[s] = row.nSize[s];
    }
    r.verdict = row.pszVerdict;
    if (row.pszMode)
        r.mode = row.pszMode;
    r.bHasDetail = row.bHasDetail;
    r.nDetail = row.nDetail;
    r.detailWord = row.detailWord;
    r.bDigest = m_bManifest && pv->bHashed;
    if (r.bDigest)
        memcpy(r.digest, pv->digest, sizeof r.digest);
    r.bWindow = pv->window.nBytes[0] || pv->window.nBytes[1];
    r.window = pv->window;
    m_journal.Append(r);
}

bool CRunJournal::End(bool bThrough, std::wstring& error)
{
    if (!m_journal.IsOpen())
        return true;
    if (bThrough)
    {
        // Left behind, it would hand tonight's verdicts to tomorrow's run as if that run had been cut off.
        if (!m_journal.Remove())
        {
            error = LoadText(IDS_CLI_JOURNAL_CANNOT_REMOVE, m_strGiven);
            return false;
        }
        return true;
    }
    if (!m_journal.Flush())
    {
        error = LoadText(IDS_CLI_JOURNAL_CANNOT_WRITE, m_strGiven);
        return false;
    }
    return true;
}

std::wstring CRunJournal::TakenOverText() const
{
    if (!m_bResumed)
        return std::wstring();
    const UINT64 nBegun = m_journal.Begun();
    FILETIME utc{static_cast<DWORD>(nBegun), static_cast<DWORD>(nBegun >> 32)}, local;
    SYSTEMTIME st{};
    wchar_t when[32] = L"?";
    if (::FileTimeToLocalFileTime(&utc, &local) && ::FileTimeToSystemTime(&local, &st))
        swprintf(when, 32, L"%04u-%02u-%02u %02u:%02u:%02u", st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond);
    return LoadText(IDS_CLI_TAKEN_OVER, std::to_wstring(m_nTaken), when);
}
