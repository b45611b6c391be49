// CJournal: the file a long run keeps of its decided rows, each a record with its own checksum, for the run after a cut.
#pragma once
#include "ByteWindow.h"
#include <windows.h>
#include <string>
#include <vector>

// One decided row: what the listing said of each side when it was read, and everything its row printed.
struct CJournalRow
{
    std::wstring name;  // the listing's name
    // As listed: together they tell whether a file is still the one whose bytes were read.
    BYTE kind[2] = {0, 0};  // EListed, as a number
    UINT64 nListedSize[2] = {0, 0};
    UINT64 nWriteTime[2] = {0, 0};
    UINT64 nFileId[2] = {0, 0};
    // The row.
    std::wstring verdict;  // its token
    bool bHasSize[2] = {false, false};
    UINT64 nSize[2] = {0, 0};
    std::wstring mode;  // empty where nothing was read
    bool bHasDetail = false;
    UINT64 nDetail = 0;
    std::wstring detailWord;
    bool bDigest = false;  // side 1's SHA-256, where the run writes a manifest
    BYTE digest[32] = {};
    // The bytes around a first difference, as the comparison read them: the report of a run that takes the row over
    // shows what the run that read it showed.
    bool bWindow = false;
    CByteWindow window;
};

// The file is UTF-8 text, one record per line: a head naming the format, the program's version, a digest of what
// decides the rows, and when the first run began; then one line per row. Every line ends with the CRC-32 of the
// rest of it. Lines are only ever appended. Reading back, a last line without its line end is torn (the process or
// the machine ended while it was written) and is cut off; a line holding NUL bytes is one the system had not yet
// written when the machine went down (it reads as zeros), and is passed over; any other line that is not whole is
// damage, and the journal is refused. Every record stands on its own: a later one of the same name wins.
class CJournal
{
public:
    enum Opened { kFresh, kResumed, kCannotOpen, kNotJournal, kOtherVersion, kOtherRun, kDamaged };
    // How long a record waits in memory at most, and how many wait at most, before they go to the system.
    static const ULONGLONG kFlushMs = 1000;
    static const size_t kFlushRecords = 1000;

    CJournal() = default;
    ~CJournal();  // keeps the file: a run that ends early leaves it for the next
    CJournal(const CJournal&) = delete;
    CJournal& operator=(const CJournal&) = delete;

    // Opens path (as the file functions take it literally) or creates it. A journal of this version and
    // fingerprint is read back (kResumed); an empty file, or none, is begun afresh (kFresh). Anything else is left
    // as it was and the file closed: nBadLine names the line of kDamaged (1-based).
    Opened Open(const std::wstring& path, const std::string& version, const BYTE fingerprint[32], UINT64& nBadLine);
    // The record of that name read back, the latest where there are several. False where there is none.
    bool Find(LPCWSTR pszName, CJournalRow& row) const;
    size_t Records() const { return m_entries.size(); }
    // When the run that began the journal started (a FILETIME).
    UINT64 Begun() const { return m_nBegun; }

    // One record, in memory until Tick, Flush or kFlushRecords more send it to the system.
    bool Append(const CJournalRow& row);
    // Sends the records waiting since kFlushMs or longer.
    bool Tick();
    // Sends every record waiting. WriteFile only: what the system holds outlives the process, which is what a cut
    // run loses; what a power cut takes from the system's cache is a torn end, read back as such.
    bool Flush();
    // The run went through: the journal goes, so the next run begins afresh.
    bool Remove();
    // The Win32 error of the first failure, 0 while nothing has failed.
    DWORD Error() const { return m_dwError; }
    bool IsOpen() const { return m_hFile != INVALID_HANDLE_VALUE; }

    // CRC-32 (IEEE 802.3, as zip and PNG), for the records and their tests.
    static UINT32 Crc32(const char* p, size_t n);
    // One record's line as written, line end included; the parser of Open reads it back.
    static std::string RecordLine(const CJournalRow& row);
    static bool ParseRecord(const std::string& line, CJournalRow& row);

private:
    // A record read back, compactly: names and words in arenas, the digest in a table of its own.
    struct Entry
    {
        UINT64 nListed[6];  // size, write time and file ID of side 1, then of side 2
        UINT64 nSize[2];
        UINT64 nDetail;
        size_t nNameAt;
        UINT32 nNameLength;
        UINT32 nDigest;  // index into m_digests, or kNoDigest
        UINT32 nWindow;  // index into m_windows, or kNoDigest
        UINT16 nVerdict, nMode, nDetailWord;  // indexes into m_words
        BYTE kind[2];
        BYTE flags;
    };
    static const UINT32 kNoDigest = 0xFFFFFFFF;
    bool Fail(DWORD dwError);
    bool Write(const std::string& text);
    Opened ReadBack(const std::string& version, const BYTE fingerprint[32], UINT64& nBadLine, UINT64& nKeep);
    bool Keep(const CJournalRow& row);
    UINT16 Word(const std::wstring& word);

    HANDLE m_hFile = INVALID_HANDLE_VALUE;
    std::wstring m_path;
    UINT64 m_nBegun = 0;
    std::vector<Entry> m_entries;  // sorted by name once read back
    std::wstring m_names;
    std::vector<std::wstring> m_words;
    std::vector<BYTE> m_digests;
    std::vector<CByteWindow> m_windows;  // only rows of a first difference have one
    std::string m_pending;
    size_t m_nPending = 0;
    ULONGLONG m_nFirstPendingMs = 0;
    DWORD m_dwError = 0;
};
