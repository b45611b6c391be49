// COutputFile: an output file (the manifest, the report) written on a thread of its own, which the run can leave
// behind: a folder that stops answering holds that thread, never the one that answers Ctrl+C.
#pragma once
#include "Manifest.h"
#include <memory>
#include <string>

class COutputFile
{
public:
    // Asked between the slices of every wait for the writer; true gives the wait up, and the file with it.
    typedef bool (*PFN_GIVE_UP)(void* pContext);
    // What the writer may hold queued, beyond which Add waits: the file's memory stays small whatever stalls.
    static const size_t kQueued = 0x400000;

    explicit COutputFile(CManifestWriter::PFN_MOVE pfnMove = ::MoveFileExW);
    ~COutputFile();  // abandons what was not committed; waits for no writer
    COutputFile(const COutputFile&) = delete;
    COutputFile& operator=(const COutputFile&) = delete;

    void SetGiveUp(PFN_GIVE_UP pfnGiveUp, void* pContext);
    // Starts the writer and waits while it creates the temporary file (CManifestWriter::Open). False when it cannot
    // (Error), or when the wait was given up (ERROR_CANCELLED).
    bool Open(const std::wstring& path);
    bool IsOpen() const;
    // Queued for the writer. False once a write has failed; a file given up takes everything and keeps nothing.
    bool Add(const std::string& text);
    // Waits while the writer writes the rest and puts the file in place (CManifestWriter::Commit). A wait given up
    // abandons the file (ERROR_CANCELLED): the writer puts nothing in place after it, but one already past its last
    // look (its delete mark cleared, the rename under way) ends that rename.
    bool Commit();
    // The writer closes the file, which the system deletes; no wait.
    void Abandon();
    DWORD Error() const;
    std::wstring KeptPath() const;

private:
    struct State;
    bool Wait(const bool& bDone);
    void Hand();
    void GiveUp();
    std::shared_ptr<State> m_pState;
    CManifestWriter::PFN_MOVE m_pfnMove;
    PFN_GIVE_UP m_pfnGiveUp = nullptr;
    void* m_pContext = nullptr;
    std::string m_local;  // gathered here first: one handover to the writer per block, not one per line
    bool m_bOpen = false;
    bool m_bFailed = false;   // the writer has met a failure
    bool m_bGivenUp = false;  // a wait was given up: the file is abandoned
};
