// RowJudgement: what a row says, its verdict and detail, from what the listing and the readers found of its name.
#pragma once
#include "FolderListing.h"
#include "Manifest.h"
#include "PairStream.h"
#include "RowWriter.h"

namespace RowJudgement
{
enum Verdict { kSame, kDiffers, kSize, kOnly1, kOnly2, kCannotOpen, kReadError, kInterrupted, kNotCompared,
               kSkipped, kCannotList, kVerdicts };
enum Skip { kSkipLink, kSkipLoop, kSkipOffline, kSkipHiddenSystem, kSkips, kNoSkip = kSkips };

extern const wchar_t* const kToken[kVerdicts];  // the row's first field
extern const UINT kLabel[kVerdicts];            // the dialog's word for it, for the summary and the page
extern const UINT kSkipLabel[kSkips];

// A plain file on both sides: the pair whose bytes are compared.
bool IsCompared(const CListedPair& pair);
// A name whose verdict the listing alone decides (a side missing, a link, a folder that could not be listed...).
bool IsListedOnly(const CListedPair& pair);

// The row of a name the listing alone decides: nothing of it is compared, so it stands also after a stop, except
// a name on one side only, which after a stop is not-compared like every pair. False for a folder on both sides,
// which has no row: its entries speak for it. skip says why a row is skipped (kNoSkip otherwise).
bool Listed(const CListedPair& pair, bool bStopped, CVerifyRow& row, Verdict& verdict, Skip& skip);
// A compared pair from its readers' verdict; the row takes the sizes of the open files and how they were read.
Verdict Compared(const CStreamVerdict& v, CVerifyRow& row);
// An audited file against its manifest line (null where there is none): a digest tells whether, not where.
Verdict Audited(const CStreamVerdict& v, const CManifestEntry* pEntry, CVerifyRow& row);
// A differs or size row whose two last-write times agree within 2 s (FAT's granularity): the bytes changed with no
// write the file system saw, which is damage (decay, a failing disk or cable, a torn copy). Where one side is newer,
// somebody wrote it: a change. A side without a time (an audit's manifest) tells neither.
bool IsDamage(Verdict verdict, const CVerifyRow& row);
// A whole run that listed files and compared none, every one skipped as online-only: it read nothing, which is no
// answer whatever its other rows say.
bool NothingRead(const UINT64 counts[kVerdicts], const UINT64 skips[kSkips]);
// The pair in hand when a break came: interrupted where a reader had begun it, not-compared where none had.
Verdict Broken(const CStreamVerdict& v, CVerifyRow& row);
}
