// The SHA-256 manifest: sha256sum's lines, a file put in place only whole, and its entries read back for an audit.
#pragma once
#include "FolderListing.h"
#include <windows.h>
#include <string>
#include <vector>

// One line in the format "sha256sum -c" reads: "<64 lowercase hex>  <name>\n". name is a listing's name (relative
// to the folder, backslashes between components); the line has "/" between them, in UTF-8. A name holding a line
// feed or a carriage return is written as coreutils writes it: the line starts with "\", and "\n", "\r" and "\\"
// stand for a line feed, a carriage return and a backslash. Empty when the name is empty or holds a lone
// surrogate, which no UTF-8 can carry: such a file cannot be listed truthfully and gets no line.
std::string ManifestLine(const BYTE digest[32], const std::wstring& name);

// Writes a manifest under a temporary name beside the target (same folder, so the rename stays on one volume) and
// puts it in the target's place only on Commit: a run that ends early never leaves a manifest that looks whole,
// and the target stays as it was. The temporary file ("<target>.tavik-<pid>.tmp") is delete-pending until just
// before the rename, so the system removes it however the process ends. Every failure is kept (Error) and fails
// every later call. The HTML report (cli/Report.*) is written through it too: one file-in-place rule for both.
// Every call may wait on the target's device: COutputFile (OutputFile.h) makes them on a thread of its own.
class CManifestWriter
{
public:
    // The rename, replaceable in tests: Wine never refuses it as a sync client or a virus scanner makes Windows do.
    typedef BOOL(WINAPI* PFN_MOVE)(LPCWSTR pszFrom, LPCWSTR pszTo, DWORD dwFlags);

    explicit CManifestWriter(PFN_MOVE pfnMove = ::MoveFileExW) : m_pfnMove(pfnMove) {}
    ~CManifestWriter();  // abandons what was not committed
    CManifestWriter(const CManifestWriter&) = delete;
    CManifestWriter& operator=(const CManifestWriter&) = delete;

    // path as the user typed it ("C:\x\sums.sha256", "..\sums", "\\server\share\sums"); creates the temporary
    // file. A target that is read-only (ERROR_FILE_READ_ONLY) or a folder (ERROR_ACCESS_DENIED) fails here, before
    // anything is read, since no rename could replace it.
    bool Open(const std::wstring& path);
    // One line as ManifestLine gives it; buffered, so a write failure may show only at a later Add or at Commit.
    bool Add(const std::string& line);
    // Writes what is buffered, flushes the file to disk, asks pfnStillWanted (when given) once more, clears the
    // delete mark and renames the file over the target. A rename refused for a while (another program holds the
    // old target) is tried again for a few seconds. On failure the target is left as it was; where the file was
    // written whole and only the rename failed, it stays (KeptPath), since it holds digests that cannot be read
    // again; otherwise it is deleted.
    bool Commit(bool (*pfnStillWanted)(void*) = nullptr, void* pContext = nullptr);
    // Closes the temporary file, which the system deletes; the target stays as it was. False when a file that
    // could not be marked could not be deleted either.
    bool Abandon();
    // The Win32 error of the first failure, 0 while nothing has failed.
    DWORD Error() const { return m_dwError; }
    // The temporary file's path (literal form), for messages; empty when none is open.
    const std::wstring& TempPath() const { return m_strTemp; }
    // The whole manifest left under its temporary name by a Commit whose rename failed, as the user writes paths.
    const std::wstring& KeptPath() const { return m_strKept; }

private:
    bool Fail(DWORD dwError);
    bool Mark(BOOL bDelete);
    bool WriteBuffer();
    bool Rename();
    PFN_MOVE m_pfnMove;
    HANDLE m_hFile = INVALID_HANDLE_VALUE;
    bool m_bMarked = false;  // delete-pending
    std::wstring m_strTarget, m_strTemp, m_strKept;
    std::string m_buffer;
    DWORD m_dwError = 0;
};

struct CManifestEntry
{
    std::wstring name;  // backslashes between components, as the listing's names
    BYTE digest[32];
    size_t nLine;  // 1-based
};

// Reads a manifest: UTF-8, a byte-order mark allowed, LF or CRLF line ends, each line as sha256sum writes it
// ("<hex>  <name>", or "<hex> *<name>" for its binary mode, hex in either case, coreutils' escapes after a
// leading "\"). Empty lines and lines starting with "#" are skipped, as sha256sum skips them. A line that does not
// parse goes into badLines (1-based, ascending) and the others are read on. So are names a check must not open:
// empty components, "." or "..", an absolute or drive form, and components no name can hold ("\", ":", NUL),
// since a manifest must never lead the audit outside its folder or to another file than the one named; and a
// second line for a name already read. entries come sorted by name as CString::Compare orders names, each once.
// False only when the file cannot be read (GetLastError says why).
bool ReadManifest(const std::wstring& path, std::vector<CManifestEntry>& entries, std::vector<size_t>& badLines);

// ReadManifest as a job a thread can be left with (cli/CallAside.h): millions of lines take seconds to read and sort,
// and a manifest on a share that stopped answering never comes.
struct CManifestRead
{
    std::wstring path;
    std::vector<CManifestEntry> entries;
    std::vector<size_t> badLines;
    bool bRead = false;
    void Run() { bRead = ReadManifest(path, entries, badLines); }
};

// The entry of that name (a listing's name) among entries as ReadManifest gives them; null when none.
const CManifestEntry* FindManifestEntry(const std::vector<CManifestEntry>& entries, const std::wstring& name);

// The names of one folder of the manifest (empty, or ending with a backslash) as side 0 of a listing: its files, and
// its subfolders as kFolder once each, from the entries themselves, so that an audit keeps the manifest once.
void ManifestFolder(const std::vector<CManifestEntry>& entries, const std::wstring& folder, std::vector<CListedPair>& listing);

// The entries as side 0 of a listing for CFolderListing::Merge: each a kFile with its name, no path and size 0
// (a manifest holds no sizes), in the order of entries.
std::vector<CListedPair> ManifestListing(const std::vector<CManifestEntry>& entries);
