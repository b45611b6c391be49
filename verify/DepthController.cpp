// CDepthController: doubling and halving against the rate held, with the windows both sides share.
#include "DepthController.h"
#include <cstdio>

namespace
{
// A file costs about what 64 KiB of reading costs on a local disk (its open, its close, a listing's share), so a
// window of small files and one of a big file's slots weigh alike.
const double kFileBytes = 65536.0;
const double kMiB = 1048576.0;
const UINT32 kFirstHold = 4;    // windows held before looking again, after a change
const UINT32 kLongestHold = 32;  // and at most, after looks that found nothing
// A rate held that moves this far, two windows in a row, is a device that changed: look again at once.
const double kMovedBelow = 0.7, kMovedAbove = 1.4;

std::wstring RateWords(const CDepthController::Rate& rate)
{
    wchar_t buf[80];
    swprintf(buf, 80, L"%.0f files/s, %.1f MB/s", rate.dFiles, rate.dBytes / 1e6);
    return buf;
}
}

double CDepthController::Rate::Work() const
{
    return dBytes + dFiles * kFileBytes;
}

CDepthController::CDepthController(UINT32 nStart, UINT32 nLeast, UINT32 nMost)
    : m_nLeast(nLeast < 1 ? 1 : nLeast), m_nMost(nMost < m_nLeast ? m_nLeast : nMost)
{
    m_nHeld = m_nDepth = nStart < m_nLeast ? m_nLeast : nStart > m_nMost ? m_nMost : nStart;
}

// The next step of this look the way it goes, from the depth held; false where the bounds leave none.
bool CDepthController::TryNext()
{
    UINT32 nNext = m_nDir > 0 ? m_nHeld * 2 : m_nHeld / 2;
    nNext = nNext < m_nLeast ? m_nLeast : nNext > m_nMost ? m_nMost : nNext;
    if (nNext == m_nHeld)
        return false;
    m_nDepth = nNext;
    m_phase = kTrial;
    return true;
}

void CDepthController::Hold(bool bChanged)
{
    m_phase = kHold;
    m_nDepth = m_nHeld;
    m_nHoldFor = bChanged || !m_nHoldFor ? kFirstHold : m_nHoldFor * 2 > kLongestHold ? kLongestHold : m_nHoldFor * 2;
    m_nHoldLeft = m_nHoldFor;
    m_nOff = 0;
}

CDepthController::Step CDepthController::Window(double dSeconds, double dFiles, double dBytes)
{
    if (!Searches() || dSeconds <= 0)
        return kNone;
    m_previous = m_last;
    m_last.dFiles = dFiles / dSeconds;
    m_last.dBytes = dBytes / dSeconds;
    const double dWork = m_last.Work();
    // A look: up first, since a slow device loses most where it gets too few; down where up gives nothing.
    auto look = [this]() {
        m_nDir = 1;
        m_bMoved = m_bTurned = false;
        if (TryNext())
            return kTry;
        m_bTurned = true;
        m_nDir = -1;
        if (TryNext())
            return kTry;
        Hold(false);
        return kNone;
    };
    switch (m_phase)
    {
    case kWarm:
        // The first window holds the process's start and the first folders' listing: it says nothing of the device.
        m_phase = kBase;
        return kNone;
    case kBase:
        m_held = m_last;
        return look();
    case kTrial:
        if (dWork * 100.0 >= m_held.Work() * kKeepPercent && !m_bOnce)
        {
            m_bOnce = true;
            return kNone;
        }
        m_bOnce = false;
        if (dWork * 100.0 >= m_held.Work() * kKeepPercent)
        {
            m_nHeld = m_nDepth;
            m_held.dFiles = (m_last.dFiles + m_previous.dFiles) / 2;
            m_held.dBytes = (m_last.dBytes + m_previous.dBytes) / 2;
            m_bMoved = true;
            if (!TryNext())
                Hold(true);
            return kKeep;
        }
        m_nDepth = m_nHeld;
        // A step that was kept already told which way is better; the first step of a look tells nothing yet.
        if (!m_bMoved && !m_bTurned)
        {
            m_bTurned = true;
            m_nDir = -m_nDir;
            if (TryNext())
                return kBack;
        }
        Hold(m_bMoved);
        return kBack;
    case kHold:
    default:
    {
        const bool bOff = dWork < m_held.Work() * kMovedBelow || dWork > m_held.Work() * kMovedAbove;
        m_nOff = bOff ? m_nOff + 1 : 0;
        if (m_nOff >= 2)
        {
            // The device is not what it was: the two windows that say so are what is held now.
            m_held.dFiles = (m_last.dFiles + m_previous.dFiles) / 2;
            m_held.dBytes = (m_last.dBytes + m_previous.dBytes) / 2;
            m_nHoldFor = 0;
            return look();
        }
        if (!bOff)
        {
            // Held windows refine the rate a step must beat, so one lucky window does not set it.
            m_held.dFiles = 0.75 * m_held.dFiles + 0.25 * m_last.dFiles;
            m_held.dBytes = 0.75 * m_held.dBytes + 0.25 * m_last.dBytes;
        }
        if (m_nHoldLeft > 0 && --m_nHoldLeft == 0)
            return look();
        return kNone;
    }
    }
}

CRunClock::CRunClock()
{
    ::QueryPerformanceFrequency(&m_rate);
    ::QueryPerformanceCounter(&m_start);
}

double CRunClock::Seconds() const
{
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart - m_start.QuadPart) / static_cast<double>(m_rate.QuadPart);
}

void CDepthWindows::Start(const UINT32 nStart[2], const UINT32 nLeast[2], const UINT32 nMost[2])
{
    for (int s = 0; s < 2; ++s)
        m_side[s] = CDepthController(nStart[s], nLeast[s], nMost[s]);
    m_bStarted = false;
    m_changes.clear();
}

bool CDepthWindows::Done(int s, UINT32 nFiles, UINT64 nBytes, bool bJobsWaiting, double dNow)
{
    if (!Searches())
        return false;
    if (!m_bStarted)
    {
        m_bStarted = true;
        m_bSettling = false;
        m_dFrom = dNow;
    }
    m_dFiles[s] += nFiles;
    m_dBytes[s] += static_cast<double>(nBytes);
    const double dElapsed = dNow - m_dFrom;
    const double dFiles = m_dFiles[0] + m_dFiles[1], dBytes = m_dBytes[0] + m_dBytes[1];
    m_bStarved |= !bJobsWaiting;
    auto restart = [this, dNow]() {
        m_bStarved = false;
        m_dFrom = dNow;
        m_dFiles[0] = m_dFiles[1] = m_dBytes[0] = m_dBytes[1] = 0;
    };
    if (m_bSettling)
    {
        // What finishes right after a change was mostly started before it.
        const double dDeepest = Depth(0) > Depth(1) ? Depth(0) : Depth(1);
        if (dFiles >= dDeepest || dBytes >= dDeepest * kMiB || dElapsed >= kWindowSeconds)
        {
            m_bSettling = false;
            restart();
        }
        return false;
    }
    if (dElapsed < kWindowSeconds ||
        (dElapsed < kLongestSeconds && dFiles < kWindowFiles && dBytes < kWindowFiles * kMiB))
        return false;
    bool bChanged = false;
    const bool bDropped = m_bStarved || m_bFresh;
    m_bFresh = false;
    for (int t = 0; t < 2 && !bDropped; ++t)
    {
        // A side that did nothing in the window (an audit's second side, a stalled read) learns nothing from it.
        if (!m_side[t].Searches() || (m_dFiles[t] == 0 && m_dBytes[t] == 0))
            continue;
        CDepthChange change;
        change.nSide = t;
        change.nFrom = m_side[t].Depth();
        change.nHeld = m_side[t].Held();
        change.held = m_side[t].HeldRate();
        change.step = m_side[t].Window(dElapsed, m_dFiles[t], m_dBytes[t]);
        if (change.step == CDepthController::kNone)
            continue;
        change.nTo = m_side[t].Depth();
        change.last = m_side[t].LastRate();
        if (m_changes.size() >= kChangesKept)
            m_changes.pop_front();
        m_changes.push_back(change);
        bChanged = true;
    }
    restart();
    m_bSettling = bChanged;
    return bChanged;
}

void CDepthWindows::Settle(double dNow)
{
    if (!m_bStarted)
        return;
    m_bSettling = true;
    m_bStarved = false;
    m_bFresh = true;
    m_dFrom = dNow;
    m_dFiles[0] = m_dFiles[1] = m_dBytes[0] = m_dBytes[1] = 0;
}

bool CDepthWindows::TakeChange(CDepthChange& change)
{
    if (m_changes.empty())
        return false;
    change = m_changes.front();
    m_changes.pop_front();
    return true;
}

std::wstring CDepthChange::Words() const
{
    const std::wstring at = L" at ";
    switch (step)
    {
    case CDepthController::kTry:
        return L"trying " + std::to_wstring(nTo) + L" (" + RateWords(last) + at + std::to_wstring(nFrom) + L")";
    case CDepthController::kKeep:
    case CDepthController::kBack:
    {
        std::wstring words = (step == CDepthController::kKeep ? L"kept " : L"not kept ") + std::to_wstring(nFrom) +
                             L" (" + RateWords(last) + L" against " + RateWords(held) + at + std::to_wstring(nHeld) +
                             L")";
        if (step == CDepthController::kKeep)
            return words + (nTo == nFrom ? L", holding" : L", trying " + std::to_wstring(nTo));
        return words + (nTo == nHeld ? L", back to " : L", trying ") + std::to_wstring(nTo);
    }
    default:
        return std::wstring();
    }
}
