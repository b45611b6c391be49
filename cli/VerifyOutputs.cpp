// CVerifyRun's manifest at the run's ends: put in place only whole, named with the reason where it is not, and every
// folder of folder 1 whose files it cannot hold named too.
#include "VerifyRun.h"
#include "resource.h"

// Every wait for a call that may wait on a device (an output file's writer, a volume question, the manifest read) asks
// here: the run waits only for a break.
bool CVerifyRun::GiveUp(void* pRun)
{
    return static_cast<CVerifyRun*>(pRun)->BreakCame();
}

// nNotWhole: 0 where the run went through and the manifest is to be put in place, else the message that says why it
// is not. The summary counts lines only of a manifest put in place.
void CVerifyRun::FinishManifest(UINT nNotWhole)
{
    if (!m_bWriteManifest)
        return;
    if (nNotWhole == 0)
    {
        if (m_manifest.Commit())
        {
            m_bManifestWritten = true;
            return;
        }
        if (m_halt != kBroken)
        {
            // The night's digests are not lost where only the rename failed: the message names where they are.
            const std::wstring kept = m_manifest.KeptPath();
            if (!kept.empty())
                Error(LoadText(m_manifest.Error() == ERROR_FILE_READ_ONLY ? IDS_CLI_MANIFEST_KEPT_READ_ONLY : IDS_CLI_MANIFEST_KEPT,
                               m_options.strManifest, kept));
            else
                Error(LoadText(IDS_CLI_MANIFEST_CANNOT_WRITE, m_options.strManifest));
            m_bTrouble = true;
            return;
        }
        nNotWhole = IDS_CLI_MANIFEST_BROKEN;  // the break came while the writer still wrote
    }
    m_manifest.Abandon();
    Error(LoadText(nNotWhole, m_options.strManifest));
}

// A folder that one side could not list is a row of its own, and nothing under it gets one: where folder 1 has it,
// its files get no line either, and the folder is named so that none is left out without a word.
void CVerifyRun::NoteUnlisted(const CListedPair& pair)
{
    const int nLength = pair.strName.GetLength();
    if (!m_bWriteManifest || m_halt != kRunning || nLength == 0 || pair.strName.GetAt(nLength - 1) != L'\\')
        return;
    const bool bUnlisted = pair.kind[0] == EListed::kCannotList ||
                           (pair.kind[0] == EListed::kFolder && pair.kind[1] == EListed::kCannotList);
    if (!bUnlisted)
        return;
    Error(LoadText(IDS_CLI_MANIFEST_NO_LINES_BELOW, static_cast<LPCWSTR>(pair.strName)));
    m_bTrouble = true;
}
