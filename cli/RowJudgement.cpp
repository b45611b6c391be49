// RowJudgement: the verdict and detail of every row tavik-verify writes, decided in one place.
#include "RowJudgement.h"
#include "resource.h"
#include <algorithm>
#include <iterator>

namespace RowJudgement
{
const wchar_t* const kToken[kVerdicts] = {L"same", L"differs", L"size", L"only1", L"only2", L"cannot-open",
                                          L"read-error", L"interrupted", L"not-compared", L"skipped", L"cannot-list"};
// The dialog's texts for its verdicts, and one of our own where its text is a whole sentence.
const UINT kLabel[kVerdicts] = {IDS_SAME, IDS_CONTENT_DIFFERS, IDS_SIZE_DIFFERS, IDS_ONLY_IN_SRC1, IDS_ONLY_IN_SRC2,
                                IDS_CANNOT_OPEN, IDS_CLI_READ_ERROR, IDS_INTERRUPTED, IDS_NOT_COMPARED,
                                IDS_CLI_SKIPPED_ROWS, IDS_CLI_CANNOT_LIST_ROWS};
const UINT kSkipLabel[kSkips] = {IDS_CLI_SKIP_LINK, IDS_CLI_SKIP_LOOP, IDS_CLI_SKIP_OFFLINE, IDS_CLI_SKIP_HIDDEN_SYSTEM};

namespace
{
const wchar_t* const kSkipWord[] = {L"link", L"loop", L"offline"};

bool IsPlain(EListed kind)
{
    return kind == EListed::kFile || kind == EListed::kNone;
}

void TakeMode(const CStreamVerdict& v, CVerifyRow& row)
{
    if (v.bRead)
        row.pszMode = v.bFast ? L"fast" : L"normal";
}

// "error-N" with the system's code of the read that failed: a CRC error (23) is a disk's, a network name no
// longer available (64) a share's.
void TakeError(const CStreamVerdict& v, CVerifyRow& row)
{
    if (v.dwError)
        row.detailWord = L"error-" + std::to_wstring(v.dwError);
}

// Why a file could not be opened, in the words of what a user does about it: in-use (close the program that holds
// it, or leave the file out), denied (--backup), name (a name this volume cannot open), else the system's code.
Verdict CannotOpen(const CStreamVerdict& v, CVerifyRow& row)
{
    if (v.dwError == ERROR_SHARING_VIOLATION || v.dwError == ERROR_LOCK_VIOLATION)
        row.detailWord = L"in-use";
    else if (v.dwError == ERROR_ACCESS_DENIED)
        row.detailWord = L"denied";
    else if (v.dwError == ERROR_INVALID_NAME)
        row.detailWord = L"name";  // as a name the listing found unfit for a path: this volume refuses it
    else
        TakeError(v, row);
    return kCannotOpen;
}
}

bool IsCompared(const CListedPair& pair)
{
    return pair.HasSide(0) && pair.HasSide(1) && IsPlain(pair.kind[0]) && IsPlain(pair.kind[1]);
}

bool IsListedOnly(const CListedPair& pair)
{
    return !IsCompared(pair);
}

bool Listed(const CListedPair& pair, bool bStopped, CVerifyRow& row, Verdict& verdict, Skip& skip)
{
    skip = kNoSkip;
    if (IsPlain(pair.kind[0]) && IsPlain(pair.kind[1]))
    {
        verdict = bStopped ? kNotCompared : pair.HasSide(1) ? kOnly2 : kOnly1;
        return true;
    }
    auto either = [&pair](EListed kind) { return pair.kind[0] == kind || pair.kind[1] == kind; };
    if (either(EListed::kCannotList))
    {
        verdict = kCannotList;
        if (pair.bTooDeep)
            row.detailWord = L"depth";
    }
    else if (either(EListed::kBadName))
    {
        verdict = kCannotOpen;
        row.detailWord = L"name";
    }
    // A link, loop or online-only file on one side only is still a name missing from the other.
    else if (!pair.HasSide(1))
        verdict = kOnly1;
    else if (!pair.HasSide(0))
        verdict = kOnly2;
    else if (pair.kind[0] == EListed::kFolder && pair.kind[1] == EListed::kFolder)
        return false;
    else
    {
        skip = either(EListed::kLink) ? kSkipLink : either(EListed::kLoop) ? kSkipLoop : kSkipOffline;
        verdict = kSkipped;
        row.detailWord = kSkipWord[skip];
    }
    return true;
}

Verdict Compared(const CStreamVerdict& v, CVerifyRow& row)
{
    // The sizes that were compared: those of the open files, not of the directory entries.
    for (int s = 0; s < 2; ++s)
        if (v.bOpened[s])
            row.nSize[s] = v.nSize[s];
    TakeMode(v, row);
    switch (v.result)
    {
    case CStreamVerdict::kSame:
        // A "backup" that shares its storage with the source is no copy at all; the bytes said same all the same.
        if (v.bSameFile)
            row.detailWord = L"same-file";
        return kSame;
    case CStreamVerdict::kDiffers:
        row.bHasDetail = true;
        row.nDetail = v.nFirstDifference;
        return kDiffers;
    case CStreamVerdict::kSize:
        return kSize;
    case CStreamVerdict::kCannotOpen:
        return CannotOpen(v, row);
    default:
        TakeError(v, row);
        return kReadError;
    }
}

Verdict Audited(const CStreamVerdict& v, const CManifestEntry* pEntry, CVerifyRow& row)
{
    if (v.bOpened[0])
        row.nSize[1] = v.nSize[0];
    TakeMode(v, row);
    if (v.result == CStreamVerdict::kCannotOpen)
        return CannotOpen(v, row);
    if (v.result != CStreamVerdict::kRead || !v.bHashed || !pEntry)
    {
        TakeError(v, row);
        return kReadError;
    }
    return std::equal(v.digest, v.digest + sizeof v.digest, pEntry->digest) ? kSame : kDiffers;
}

bool IsDamage(Verdict verdict, const CVerifyRow& row)
{
    const UINT64 kTolerance = 2 * 10000000;  // FILETIME ticks
    if ((verdict != kDiffers && verdict != kSize) || !row.bHasTime[0] || !row.bHasTime[1])
        return false;
    const UINT64 nApart = row.nTime[0] > row.nTime[1] ? row.nTime[0] - row.nTime[1] : row.nTime[1] - row.nTime[0];
    return nApart <= kTolerance;
}

bool NothingRead(const UINT64 counts[kVerdicts], const UINT64 skips[kSkips])
{
    const Verdict read[] = {kSame, kDiffers, kSize, kCannotOpen, kReadError, kInterrupted};
    return skips[kSkipOffline] > 0 && std::all_of(std::begin(read), std::end(read), [&](Verdict v) { return counts[v] == 0; });
}

Verdict Broken(const CStreamVerdict& v, CVerifyRow& row)
{
    TakeMode(v, row);
    return v.bStarted ? kInterrupted : kNotCompared;
}
}
