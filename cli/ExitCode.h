// The exit statuses of tavik-verify, named once; a run ends with the highest one that applies.
#pragma once

namespace ExitCode
{
const int kSame = 0;         // every name on both sides, every pair the same
const int kDifferent = 1;    // a pair differs, sizes differ, or a name is on one side only
const int kTrouble = 2;      // a folder that cannot be listed, a file that cannot be opened or read, bad usage
const int kInterrupted = 3;  // Ctrl+C or Ctrl+Break
}
