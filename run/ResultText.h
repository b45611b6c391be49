// Loading the text that a result row shows for a result code.
#pragma once
#include "String.h"

// The message of nCode, or "未定義のエラー" when the message table has no such entry.
CString LoadResultText(UINT nCode);
