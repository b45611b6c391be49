// Whether two of the files a run names (the manifest it writes or reads, its report, its journal) are one file.
#pragma once
#include <string>
#include <vector>

namespace OutputPaths
{
// Two paths as the user typed them name one file: the same once made whole by the rules that open them, compared
// case-insensitively as Windows compares names; or, where both exist, one file reached two ways (a hard link, a
// mapped drive, a share of a local folder), told by the volume's serial number and the file ID.
bool SameFile(const std::wstring& a, const std::wstring& b);

// The first two of paths that name one file (indexes, nFirst < nSecond); empty paths name nothing. False when
// each names a file of its own.
bool FindClash(const std::vector<std::wstring>& paths, size_t& nFirst, size_t& nSecond);
}
