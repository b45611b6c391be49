// CByteWindow: the bytes around the first difference of two files, kept from the slots the comparison read.
#pragma once
#include <windows.h>

struct CByteWindow
{
    static const UINT32 kBefore = 16, kAfter = 16, kMax = kBefore + 1 + kAfter;
    UINT64 nStart = 0;            // offset of the first byte kept
    UINT32 nBytes[2] = {0, 0};    // per side: fewer where a file ends, or where its slot ends after the difference
    BYTE bytes[2][kMax] = {};
};

// The last bytes of the slot pair compared before the one in hand, so that a difference early in a slot still has
// the bytes before it: that slot went back to its reader as soon as it compared equal.
struct CSlotTail
{
    UINT32 nBytes[2] = {0, 0};
    BYTE bytes[2][CByteWindow::kBefore] = {};
};

namespace ByteWindow
{
// After a slot pair compared equal: its last bytes become the tail.
void KeepTail(CSlotTail& tail, const BYTE* const p[2], const UINT32 nBytes[2]);
// The window around nDifference, from the slot pair that starts at nSlotStart and the tail of the pair before. The
// bytes after the difference come from this slot alone: the next one is not read yet, and may never be.
CByteWindow Around(const CSlotTail& tail, const BYTE* const p[2], const UINT32 nBytes[2], UINT64 nSlotStart,
                   UINT64 nDifference);
}
