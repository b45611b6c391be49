// Loading the text that a result row shows for a result code.
#include "ResultText.h"
#include "resource.h"

CString LoadResultText(UINT nCode)
{
    CString strText;
    if (!strText.LoadString(nCode))
        strText.LoadString(IDS_UNDEFINED_ERROR);
    return strText;
}
