// The temporary output files a run has under way (a manifest, a report), for whoever has to end the process early.
#pragma once
#include <string>

namespace TempFiles
{
// A file the run is writing and will rename or delete itself; path in the form it was created by.
void Add(const std::wstring& path);
void Remove(const std::wstring& path);
// Deletes every file still under way. Any thread may call it, also while another writes them: they are opened
// with FILE_SHARE_DELETE, so each goes when its last handle closes, at the latest when the process ends.
void DeleteAll();
}
