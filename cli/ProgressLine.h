// CProgressLine: one line on standard error, redrawn in place at most ten times a second.
#pragma once
#include "ConsoleOut.h"
#include <string>

class CProgressLine
{
public:
    CProgressLine(COutputStream& err, bool bEnabled) : m_err(err), m_bEnabled(bEnabled) {}
    bool Enabled() const { return m_bEnabled; }
    // True when a redraw is due: the first one at once, later ones a tenth of a second apart.
    bool Due(ULONGLONG nNowMs) const { return m_bEnabled && (!m_bEverDrawn || nNowMs - m_nLastDrawMs >= 100); }
    void Draw(const std::wstring& text, ULONGLONG nNowMs);
    // Takes the line away, so other text can be written where it was.
    void Clear();

private:
    COutputStream& m_err;
    bool m_bEnabled;
    bool m_bDrawn = false;      // the line is on the screen now
    bool m_bEverDrawn = false;  // a clear does not reset the pace: rows between redraws must not speed them up
    ULONGLONG m_nLastDrawMs = 0;
    int m_nShownColumns = 0;
};

// Columns a text takes on a console: East Asian wide characters and non-BMP characters take two.
int DisplayColumns(const std::wstring& text);
