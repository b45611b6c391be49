// CReport: the HTML page of a run, its escaping, and the byte view of a first difference as the comparison read it.
#include "Report.h"
#include "ConsoleOut.h"
#include "ExitCode.h"
#include "resource.h"
#include "version.h"
#include <cmath>
#include <cwchar>

namespace
{
std::string HtmlText(const std::wstring& text);

void AppendUtf8(std::string& out, UINT32 cp)
{
    if (cp < 0x80)
        out += static_cast<char>(cp);
    else if (cp < 0x800)
    {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
    else if (cp < 0x10000)
    {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
    else
    {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string Ascii(const char* psz)
{
    return psz;
}

std::string Number(UINT64 n)
{
    std::string digits = std::to_string(n), out;
    for (size_t i = 0; i < digits.size(); ++i)
    {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            out += ',';
        out += digits[i];
    }
    return out;
}

std::string Format(const char* pszFormat, double d)
{
    char buf[64];
    snprintf(buf, sizeof buf, pszFormat, d);
    return buf;
}

std::string Hex(UINT64 n)
{
    char buf[32];
    snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(n));
    return buf;
}

std::string Text(UINT nID, const std::wstring& arg1 = std::wstring(), const std::wstring& arg2 = std::wstring())
{
    return HtmlText(LoadText(nID, arg1, arg2));
}

std::wstring Wide(const std::string& ascii)
{
    return std::wstring(ascii.begin(), ascii.end());
}

// Local time with its offset from UTC: a report read in another time zone, or after a change of summer time, still
// tells when the run was.
std::string When(const FILETIME& utc)
{
    FILETIME local;
    SYSTEMTIME st;
    if (!::FileTimeToLocalFileTime(&utc, &local) || !::FileTimeToSystemTime(&local, &st))
        return std::string();
    const LONGLONG nBias = (static_cast<LONGLONG>(local.dwHighDateTime) << 32 | local.dwLowDateTime) -
                           (static_cast<LONGLONG>(utc.dwHighDateTime) << 32 | utc.dwLowDateTime);
    const LONGLONG nMinutes = nBias / 600000000;
    const LONGLONG nAbs = nMinutes < 0 ? -nMinutes : nMinutes;
    char buf[64];
    snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u (UTC%c%02lld:%02lld)", st.wYear, st.wMonth, st.wDay,
             st.wHour, st.wMinute, st.wSecond, nMinutes < 0 ? '-' : '+', nAbs / 60, nAbs % 60);
    return buf;
}

std::string Duration(double dSeconds)
{
    const UINT64 n = static_cast<UINT64>(dSeconds);
    char buf[64];
    snprintf(buf, sizeof buf, "%llu:%02u:%02u (%.2f s)", static_cast<unsigned long long>(n / 3600),
             static_cast<unsigned>(n / 60 % 60), static_cast<unsigned>(n % 60), dSeconds);
    return buf;
}

const char kStyle[] =
    "body{font:14px/1.45 'Yu Gothic UI','Meiryo','IPAPGothic','Noto Sans CJK JP',sans-serif;margin:0;background:#f6f6f4;color:#222}"
    ".page{display:flex;flex-direction:column;max-width:1200px;margin:0 auto;padding:12px 20px}"
    ".head{order:1}.counts{order:2}.messages{order:3}.damage{order:4}.problems{order:5}.same{order:6}"
    "h1{font-size:20px;margin:8px 0}h2{font-size:16px;margin:18px 0 6px}"
    ".headline{font-size:18px;font-weight:bold;padding:6px 10px;border-left:6px solid #888;background:#fff}"
    ".s0{border-color:#3a8a3a}.s1{border-color:#c0392b}.s2{border-color:#8e1b1b}.s3{border-color:#888}"
    "table{border-collapse:collapse;background:#fff}th,td{border:1px solid #ddd;padding:3px 8px;text-align:left;vertical-align:top}"
    "th{background:#eee;font-weight:normal}.num{text-align:right;font-variant-numeric:tabular-nums}"
    ".name{white-space:pre-wrap;word-break:break-all;min-width:16em;font-family:Consolas,'DejaVu Sans Mono',monospace}"
    ".verdict,.num{white-space:nowrap}.view td{border-top:none;padding-left:2em}.hex,.text{white-space:pre}.text{color:#555}"
    "code{font-family:Consolas,'DejaVu Sans Mono',monospace;color:#555}"
    ".zero{color:#aaa}.rows{width:100%}"
    ".bytes{margin-top:4px;font:12px Consolas,'DejaVu Sans Mono',monospace}.bytes td,.bytes th{border:none;padding:1px 6px;white-space:nowrap}"
    ".bytes b{background:#f5c6c0;color:#900}.bytes b.first{outline:1px solid #900}"
    ".bit{display:inline-block;margin-top:3px;padding:0 6px;background:#fde9a8;font-weight:bold}"
    ".note{color:#666;font-size:12px}";

// Each verdict's colour in the bars, in the order of the row tokens.
const char* BarColour(const wchar_t* pszToken)
{
    static const struct
    {
        const wchar_t* pszToken;
        const char* pszColour;
    } colours[] = {{L"same", "#3a8a3a"}, {L"differs", "#c0392b"}, {L"size", "#e67e22"}, {L"only1", "#2e6fb7"},
                   {L"only2", "#7a4fb5"}, {L"cannot-open", "#8e1b1b"}, {L"read-error", "#8e1b1b"},
                   {L"cannot-list", "#8e1b1b"}, {L"skipped", "#7f8c8d"}};
    for (const auto& c : colours)
        if (wcscmp(c.pszToken, pszToken) == 0)
            return c.pszColour;
    return "#999";
}

std::string RowHtml(const CVerifyRow& row, UINT nLabel, const std::string& detail)
{
    std::string html = "<tr class=\"" + HtmlText(row.pszVerdict) + "\"><td class=\"name\">" + HtmlText(row.name) +
                       "</td><td class=\"verdict\">" + Text(nLabel) + " <code>" + HtmlText(row.pszVerdict) + "</code></td>";
    for (int s = 0; s < 2; ++s)
        html += "<td class=\"num\">" + (row.bHasSize[s] ? Number(row.nSize[s]) : std::string()) + "</td>";
    return html + "<td class=\"detail\">" + detail + "</td></tr>\n";
}

std::string ColumnsHtml()
{
    const std::wstring columns = LoadText(IDS_CLI_REPORT_COLUMNS);
    std::string html = "<thead><tr>";
    size_t nStart = 0;
    for (;;)
    {
        const size_t nBar = columns.find(L'|', nStart);
        html += "<th>" + HtmlText(columns.substr(nStart, nBar == std::wstring::npos ? nBar : nBar - nStart)) + "</th>";
        if (nBar == std::wstring::npos)
            break;
        nStart = nBar + 1;
    }
    return html + "</tr></thead>";
}

// Text as HTML character data in UTF-8: markup characters as references, controls as visible pictures.
std::string HtmlText(const std::wstring& text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i)
    {
        const wchar_t ch = text[i];
        if (ch >= 0xD800 && ch <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF)
        {
            AppendUtf8(out, 0x10000 + ((static_cast<UINT32>(ch) - 0xD800) << 10) + (text[i + 1] - 0xDC00));
            ++i;
        }
        else if (ch == L'&')
            out += "&amp;";
        else if (ch == L'<')
            out += "&lt;";
        else if (ch == L'>')
            out += "&gt;";
        else if (ch == L'"')
            out += "&quot;";
        else if (ch == L'\'')
            out += "&#39;";
        // A tab or a line feed would read as a space, and an escape could pass for nothing at all: each control is
        // shown as its picture (U+2400 on), so two names that differ only there look different.
        else if (ch < 0x20)
            AppendUtf8(out, 0x2400 + ch);
        else if (ch == 0x7F)
            AppendUtf8(out, 0x2421);
        // C1 controls, the line and paragraph separators and a lone surrogate (which no UTF-8 can carry) as the
        // rows write them.
        else if ((ch >= 0x80 && ch <= 0x9F) || ch == 0x2028 || ch == 0x2029 || (ch >= 0xD800 && ch <= 0xDFFF))
        {
            char buf[8];
            snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(ch));
            out += buf;
        }
        else
            AppendUtf8(out, ch);
    }
    return out;
}

// Hex and text of each side, the differing bytes marked, "1 bit" when the two differ in exactly one bit.
std::string ByteViewHtml(const CByteWindow& window, UINT64 nOffset)
{
    const std::string b[2] = {std::string(reinterpret_cast<const char*>(window.bytes[0]), window.nBytes[0]),
                              std::string(reinterpret_cast<const char*>(window.bytes[1]), window.nBytes[1])};
    const size_t nLength = b[0].size() > b[1].size() ? b[0].size() : b[1].size();
    unsigned nBits = 0;
    for (size_t i = 0; i < b[0].size() && i < b[1].size(); ++i)
        for (unsigned x = static_cast<unsigned char>(b[0][i] ^ b[1][i]); x; x &= x - 1)
            ++nBits;
    std::string html = "<table class=\"bytes\">";
    for (int s = 0; s < 2; ++s)
    {
        std::string hex, text;
        for (size_t i = 0; i < nLength; ++i)
        {
            const bool bDiffers = i >= b[0].size() || i >= b[1].size() || b[0][i] != b[1][i];
            const char* pszOpen = !bDiffers ? "" : window.nStart + i == nOffset ? "<b class=\"first\">" : "<b>";
            const char* pszClose = bDiffers ? "</b>" : "";
            std::string cell = "--", ch = " ";
            if (i < b[s].size())
            {
                const unsigned char c = static_cast<unsigned char>(b[s][i]);
                char buf[4];
                snprintf(buf, sizeof buf, "%02x", c);
                cell = buf;
                ch = c >= 0x20 && c < 0x7F ? HtmlText(std::wstring(1, static_cast<wchar_t>(c))) : "\xC2\xB7";
            }
            if (i)
            {
                hex += ' ';
                text += "  ";  // each character under its byte
            }
            hex.append(pszOpen).append(cell).append(pszClose);
            text.append(pszOpen).append(ch).append(pszClose);
        }
        html += "<tr><th>" + HtmlText(LoadText(s == 0 ? IDS_CLI_SOURCE1 : IDS_CLI_SOURCE2)) + "</th><td>" +
                Hex(window.nStart) + "</td><td><div class=\"hex\">" + hex + "</div><div class=\"text\">" + text +
                "</div></td></tr>";
    }
    html += "</table>";
    // Decay flips a bit; a torn write zeroes a block; an edit shifts everything after it.
    if (b[0].size() == b[1].size() && nBits == 1)
        html += "<span class=\"bit\">1 bit</span>";
    return html;
}
}

bool CReport::Open(const std::wstring& path)
{
    ::GetSystemTimeAsFileTime(&m_started);
    if (!m_file.Open(path))
        return false;
    m_bOpen = true;
    Write("<!DOCTYPE html>\n<html lang=\"ja\"><head><meta charset=\"utf-8\">"
          // The names on this page come from the disks checked: nothing on it may run or fetch, whatever slips.
          "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src 'unsafe-inline'; "
          "base-uri 'none'; form-action 'none'\">"
          "<meta name=\"viewport\" content=\"width=device-width\"><title>" +
          Text(IDS_CLI_REPORT_TITLE) + " " + HtmlText(Wide(When(m_started))) + "</title><style>" + kStyle +
          "</style></head>\n<body><div class=\"page\">\n<section class=\"problems\"><h2>" + Text(IDS_CLI_REPORT_PROBLEMS) +
          "</h2><table class=\"rows\">" + ColumnsHtml() + "<tbody>\n");
    return true;
}

void CReport::Write(const std::string& html)
{
    m_file.Add(html);  // a failure stays with the file and fails the commit
}

void CReport::AddRow(const CVerifyRow& row, UINT nLabel, const CByteWindow* pWindow)
{
    if (!m_bOpen)
        return;
    const bool bSame = wcscmp(row.pszVerdict, L"same") == 0;
    if (bSame && m_nSame >= kSameListed)
    {
        ++m_nSame;  // counted, not shown: nothing to build
        return;
    }
    std::string detail, view;
    if (wcscmp(row.pszVerdict, L"differs") == 0)
    {
        if (!row.bHasDetail)
            detail = Text(IDS_CLI_REPORT_DIGEST);
        else
        {
            detail = Text(IDS_CLI_REPORT_FIRST_DIFF, Wide(Number(row.nDetail) + " (" + Hex(row.nDetail) + ")"));
            // The bytes the comparison read, never read again here: the main thread waits on no device. The view
            // takes a row of its own, the width of the table.
            if (pWindow && (pWindow->nBytes[0] || pWindow->nBytes[1]))
                view = "<tr class=\"view\"><td colspan=\"5\">" + ByteViewHtml(*pWindow, row.nDetail) + "</td></tr>\n";
        }
    }
    else if (!row.detailWord.empty())
        detail = "<code>" + HtmlText(row.detailWord) + "</code>";
    const std::string html = RowHtml(row, nLabel, detail) + view;
    if (row.bDamage)
    {
        if (m_nDamage++ < kSameListed)
            m_damageRows += html;
    }
    else if (!bSame)
    {
        ++m_nProblems;
        Write(html);
    }
    else
    {
        ++m_nSame;
        m_sameRows += html;
    }
}

void CReport::AddMessage(const std::wstring& text)
{
    if (!m_bOpen)
        return;
    // A manifest of a million bad lines must not make a page of a million messages.
    if (m_messages.size() < kSameListed)
        m_messages.push_back(text);
    else
        ++m_nMessagesLeftOut;
}

bool CReport::Commit(const CReportHead& head)
{
    if (!m_bOpen)
        return true;
    m_bOpen = false;
    std::string html = "</tbody></table>";
    if (m_nProblems == 0 && m_nDamage == 0)
        html += "<p>" + Text(IDS_CLI_REPORT_NO_PROBLEMS) + "</p>";
    html += "</section>\n";
    if (m_nDamage)
    {
        html += "<section class=\"damage\"><h2>" + Text(IDS_CLI_REPORT_DAMAGE) + " (" + Number(m_nDamage) + ")</h2>";
        if (m_nDamage > kSameListed)
            html += "<p class=\"cut\">" + Text(IDS_CLI_REPORT_SAME_CUT, Wide(Number(m_nDamage)), Wide(Number(kSameListed))) + "</p>";
        html += "<table class=\"rows\">" + ColumnsHtml() + "<tbody>\n" + m_damageRows + "</tbody></table></section>\n";
        m_damageRows.clear();
    }
    html += "<section class=\"same\"><h2>" + Text(IDS_CLI_REPORT_SAME_ROWS) + " (" + Number(m_nSame) + ")</h2>";
    if (m_nSame > kSameListed)
        html += "<p class=\"cut\">" + Text(IDS_CLI_REPORT_SAME_CUT, Wide(Number(m_nSame)), Wide(Number(kSameListed))) + "</p>";
    if (m_nSame)
        html += "<table class=\"rows\">" + ColumnsHtml() + "<tbody>\n" + m_sameRows + "</tbody></table>";
    html += "</section>\n";
    m_sameRows.clear();
    if (!m_messages.empty())
    {
        html += "<section class=\"messages\"><h2>" + Text(IDS_CLI_REPORT_MESSAGES) + "</h2><ul>";
        for (const std::wstring& message : m_messages)
            html += "<li class=\"name\">" + HtmlText(message) + "</li>";
        if (m_nMessagesLeftOut)
            html += "<li>" + Text(IDS_CLI_REPORT_MORE, Wide(Number(m_nMessagesLeftOut))) + "</li>";
        html += "</ul></section>\n";
    }

    // The head: where, when, how much, how, and the answer.
    static const UINT kStatusWord[] = {IDS_CLI_STATUS_SAME, IDS_CLI_STATUS_DIFFERENT, IDS_CLI_STATUS_TROUBLE,
                                       IDS_CLI_STATUS_INTERRUPTED};
    const int nStatus = head.nExitStatus >= 0 && head.nExitStatus <= 3 ? head.nExitStatus : ExitCode::kTrouble;
    FILETIME ended;
    ::GetSystemTimeAsFileTime(&ended);
    auto line = [](const std::string& label, const std::string& value, const char* pszClass = "") {
        return "<tr><th>" + label + "</th><td class=\"" + pszClass + "\">" + value + "</td></tr>";
    };
    const std::string mode = Text(head.bFast ? IDS_MODE_FAST : IDS_MODE_NORMAL);
    html += "<header class=\"head\"><h1>" + Text(IDS_CLI_REPORT_TITLE) + "</h1><p class=\"headline s" +
            std::to_string(nStatus) + "\">" + Text(head.nHeadline) + " " + Text(kStatusWord[nStatus]) + "</p><table>";
    if (!head.strManifest.empty())
        html += line(Text(IDS_CLI_REPORT_MANIFEST), HtmlText(head.strManifest), "name");
    else
        html += line(Text(IDS_CLI_SOURCE1), HtmlText(head.strFolder[0]), "name");
    html += line(Text(IDS_CLI_SOURCE2), HtmlText(head.strFolder[1]), "name");
    html += line(Text(IDS_CLI_REPORT_STARTED), HtmlText(Wide(When(m_started))));
    html += line(Text(IDS_CLI_REPORT_ENDED), HtmlText(Wide(When(ended))));
    html += line(Text(IDS_CLI_REPORT_DURATION), Duration(head.dSeconds));
    html += line(Text(IDS_CLI_REPORT_BYTES), Number(head.nBytesCompared) + " B");
    html += line(Text(IDS_CLI_REPORT_SPEED),
                 Format("%.1f MB/s", head.dSeconds > 0 ? static_cast<double>(head.nBytesCompared) / 1e6 / head.dSeconds : 0.0));
    html += line(Text(IDS_CLI_REPORT_MODE), mode);
    // 0: not asked, the run having ended before
    auto depth = [](UINT32 n) { return n ? std::to_string(n) : std::string("-"); };
    html += line(Text(IDS_CLI_REPORT_DEPTH), (head.strManifest.empty() ? depth(head.nDepth[0]) : "-") + " / " + depth(head.nDepth[1]));
    if (head.nExcluded || !head.excluded.empty())
    {
        std::string patterns;
        for (const std::wstring& pattern : head.excluded)
            patterns += (patterns.empty() ? "<code>" : " <code>") + HtmlText(pattern) + "</code>";
        html += line(Text(IDS_CLI_REPORT_EXCLUDED, Wide(Number(head.nExcluded))), patterns, "excluded");
    }
    html += line(Text(IDS_CLI_REPORT_VERSION), "tavik-verify " + Ascii(TAVIK_VERSION));
    if (!head.strTakenOver.empty())
        html += line(Text(IDS_CLI_REPORT_TAKEN_OVER), HtmlText(head.strTakenOver));
    html += line(Text(IDS_CLI_REPORT_STATUS), std::to_string(nStatus) + " " + Text(kStatusWord[nStatus]), "status");
    html += "</table></header>\n";

    // The counts, drawn on a log scale: a million "same" beside one "differs" would leave no bar to see.
    UINT64 nMax = 1;
    for (const CReportHead::Count& c : head.counts)
        nMax = c.n > nMax ? c.n : nMax;
    html += "<section class=\"counts\"><h2>" + Text(IDS_CLI_REPORT_COUNTS) + "</h2><table>";
    for (const CReportHead::Count& c : head.counts)
    {
        const int nWidth = c.n ? 4 + static_cast<int>(296.0 * std::log10(static_cast<double>(c.n) + 1) /
                                                      std::log10(static_cast<double>(nMax) + 1))
                               : 0;
        html += "<tr class=\"c-" + HtmlText(c.pszToken) + (c.n ? "" : " zero") + "\"><td>" + Text(c.nLabel) +
                "</td><td><code>" + HtmlText(c.pszToken) + "</code></td><td class=\"num\">" + Number(c.n) +
                "</td><td><svg width=\"300\" height=\"12\" aria-hidden=\"true\"><rect width=\"" + std::to_string(nWidth) +
                "\" height=\"12\" fill=\"" + BarColour(c.pszToken) + "\"/></svg></td></tr>";
    }
    html += "</table><p class=\"note\">" + Text(IDS_CLI_REPORT_SCALE) + "</p></section>\n</div></body></html>\n";
    Write(html);
    return m_file.Commit();
}

void CReport::Abandon()
{
    m_bOpen = false;
    m_sameRows.clear();
    m_damageRows.clear();
    m_file.Abandon();
}
