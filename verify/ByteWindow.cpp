// ByteWindow: what the report shows of a difference, taken while the reader still holds the bytes.
#include "ByteWindow.h"
#include <cstring>

void ByteWindow::KeepTail(CSlotTail& tail, const BYTE* const p[2], const UINT32 nBytes[2])
{
    for (int s = 0; s < 2; ++s)
    {
        // A slot shorter than the tail only ends a file, after which nothing is compared; kept whole all the same.
        BYTE joined[2 * CByteWindow::kBefore];
        const UINT32 nOld = tail.nBytes[s], nNew = nBytes[s] < CByteWindow::kBefore ? nBytes[s] : CByteWindow::kBefore;
        std::memcpy(joined, tail.bytes[s], nOld);
        std::memcpy(joined + nOld, p[s] + nBytes[s] - nNew, nNew);
        const UINT32 nAll = nOld + nNew, nKeep = nAll < CByteWindow::kBefore ? nAll : CByteWindow::kBefore;
        std::memcpy(tail.bytes[s], joined + nAll - nKeep, nKeep);
        tail.nBytes[s] = nKeep;
    }
}

CByteWindow ByteWindow::Around(const CSlotTail& tail, const BYTE* const p[2], const UINT32 nBytes[2], UINT64 nSlotStart,
                               UINT64 nDifference)
{
    CByteWindow window;
    const UINT64 nAt = nDifference - nSlotStart;  // within the slot; at most its length (a file that ended there)
    // Both tails hold as many bytes: the slots before were equal, byte for byte.
    const UINT64 nHave = tail.nBytes[0] < tail.nBytes[1] ? tail.nBytes[0] : tail.nBytes[1];
    const UINT32 nFromTail = nAt >= CByteWindow::kBefore ? 0 : static_cast<UINT32>(CByteWindow::kBefore - nAt < nHave ? CByteWindow::kBefore - nAt : nHave);
    const UINT64 nFromSlot = nAt >= CByteWindow::kBefore ? nAt - CByteWindow::kBefore : 0;
    window.nStart = nSlotStart + nFromSlot - nFromTail;
    for (int s = 0; s < 2; ++s)
    {
        std::memcpy(window.bytes[s], tail.bytes[s] + tail.nBytes[s] - nFromTail, nFromTail);
        const UINT64 nEnd = nAt + 1 + CByteWindow::kAfter < nBytes[s] ? nAt + 1 + CByteWindow::kAfter : nBytes[s];
        const UINT32 nSlot = nEnd > nFromSlot ? static_cast<UINT32>(nEnd - nFromSlot) : 0;
        std::memcpy(window.bytes[s] + nFromTail, p[s] + nFromSlot, nSlot);
        window.nBytes[s] = nFromTail + nSlot;
    }
    return window;
}
