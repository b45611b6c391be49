// CTreeWalk: listers take the folders known and not yet listed in tree order, within a window of folder pairs ahead of
// the caller; each folder pair is merged as soon as both its sides are listed, and its subfolders become folders to
// list. The caller walks the merged folders depth first, holding only the folders it is inside and those listed ahead.
//
// Under one slim lock with condition variables, as the pair stream: the listers wait for folders to list, the caller
// for the folder it has reached, and only that folder's listing wakes it.
#include "TreeWalk.h"
#include "CancelThreads.h"
#include "Manifest.h"
#include "PathFilter.h"
#include <algorithm>
#include <atomic>
#include <iterator>
#include <map>

namespace
{
struct Node;
using NodePtr = std::shared_ptr<Node>;

// One folder pair: where it stands in the tree, what each side's listing found, and its merged rows.
struct Node
{
    CString strRelative;              // empty for the folders given, else ending with a backslash
    NodePtr pParent;
    std::vector<UINT32> key;          // the positions of its rows on the way down: tree order is their order
    UINT32 nLevel = 0;
    bool bWant[2] = {false, false};   // the sides that have the folder, to be listed
    bool bStarted[2] = {false, false};
    bool bSideDone[2] = {false, false};
    bool bCounted = false;            // counted among the folders listed ahead
    CFolderListing::Result result[2] = {CFolderListing::kListed, CFolderListing::kListed};
    bool bLoop[2] = {false, false};
    bool bTooDeep[2] = {false, false};
    UINT64 nIndex[2] = {0, 0};
    bool bIndexed[2] = {false, false};
    std::vector<CListedPair> side[2];
    std::vector<std::wstring> excluded[2];  // names the filter took out of each side, sorted
    UINT64 nExcluded = 0;                   // of both sides, a name on both once
    bool bListed = false;
    bool bEntered = false;            // its rows are walked: no side failed and one side was listed
    std::vector<CListedPair> rows;
    std::vector<NodePtr> children;    // by row: the node of a subfolder, or none
    size_t nCursor = 0;
};

using TaskKey = std::pair<std::vector<UINT32>, int>;
}

struct CTreeWalk::State
{
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE cvTasks = CONDITION_VARIABLE_INIT;   // listers waiting for a folder to list
    CONDITION_VARIABLE cvListed = CONDITION_VARIABLE_INIT;  // the caller, waiting for pWanted
    CWalkOptions options;
    std::map<TaskKey, NodePtr> pending;  // sides of folders to list, in tree order
    NodePtr pTop;
    bool bTopTaken = false;
    std::vector<NodePtr> stack;
    NodePtr pWanted;
    size_t nAhead = 0;
    bool bStop = false;
    std::atomic<bool> bStopping{false};
    bool bLeftBehind = false;
    std::vector<HANDLE> threads;
    UINT64 nHiddenSystem = 0;
    UINT64 nExcluded = 0;
    std::atomic<UINT64> nEntries{0};
    size_t nHeld = 0, nMostHeld = 0;

    ~State()
    {
        for (HANDLE h : threads)
            ::CloseHandle(h);
    }

    void ListerMain();
    void ListSide(Node& node, int s);
    void Exclude(Node& node, int s);
    static void Merge(Node& node);
    void Listed(const NodePtr& pNode);
    void AddTasks(const NodePtr& node)
    {
        for (int s = 0; s < 2; ++s)
            if (node->bWant[s])
                pending[TaskKey(node->key, s)] = node;
    }
    void Hold(size_t n)
    {
        nHeld += n;
        if (nHeld > nMostHeld)
            nMostHeld = nHeld;
    }

    static bool GoOn(void* pContext, UINT64)
    {
        State* st = static_cast<State*>(pContext);
        st->nEntries.fetch_add(1, std::memory_order_relaxed);
        return !st->bStopping.load(std::memory_order_relaxed);
    }
    static DWORD WINAPI ListerProc(LPVOID p)
    {
        static_cast<State*>(p)->ListerMain();
        return 0;
    }
};

// Outside the lock: the node's ancestors are listed and no longer change.
void CTreeWalk::State::ListSide(Node& node, int s)
{
    if (s == 0 && options.pManifest)
    {
        ManifestFolder(*options.pManifest, std::wstring(static_cast<LPCWSTR>(node.strRelative), static_cast<size_t>(node.strRelative.GetLength())),
                       node.side[0]);
        Exclude(node, 0);
        return;
    }
    UINT64 nHidden = 0, nSeen = 0;
    CListingOptions listing = options.listing;
    listing.pfnGoOn = GoOn;
    listing.pContext = this;
    node.result[s] = CFolderListing::ListFolder(options.strFolder[s], node.strRelative, listing, s + 1, node.side[s],
                                                node.nIndex[s], node.bIndexed[s], nHidden, nSeen);
    if (node.result[s] == CFolderListing::kListed && node.nLevel > 0)
    {
        // Only the way down counts: the same folder reached on two separate branches is no loop, and is walked twice.
        const CString strPath = options.strFolder[s] + node.strRelative;
        for (const Node* p = node.pParent.get(); node.bIndexed[s] && p && !node.bLoop[s]; p = p->pParent.get())
            node.bLoop[s] = p->bIndexed[s] && CFolderListing::IsLoop(strPath, node.nIndex[s], options.strFolder[s] + p->strRelative,
                                                                     p->nIndex[s]);
        node.bTooDeep[s] = !node.bIndexed[s] && node.nLevel > options.nMaxLevelsWithoutId;
        if (node.bLoop[s] || node.bTooDeep[s])
        {
            node.side[s].clear();
            nHidden = 0;
        }
    }
    Exclude(node, s);
    ::AcquireSRWLockExclusive(&lock);
    nHiddenSystem += nHidden;
    ::ReleaseSRWLockExclusive(&lock);
}

// Outside the lock, before the folder's rows are merged: an excluded subfolder never becomes a folder to list.
void CTreeWalk::State::Exclude(Node& node, int s)
{
    if (!options.pFilter || options.pFilter->IsEmpty())
        return;
    std::vector<CListedPair>& entries = node.side[s];
    auto kept = std::remove_if(entries.begin(), entries.end(), [&](const CListedPair& entry) {
        if (!options.pFilter->Excludes(entry.strName, static_cast<size_t>(entry.strName.GetLength())))
            return false;
        node.excluded[s].push_back(static_cast<LPCWSTR>(entry.strName));
        return true;
    });
    entries.erase(kept, entries.end());
    std::sort(node.excluded[s].begin(), node.excluded[s].end());
}

// Outside the lock, by the lister that listed the folder's last side: nobody else looks at the node until it is
// listed, and the sort of a folder of a million names would hold up every row and Ctrl+C for a second.
void CTreeWalk::State::Merge(Node& node)
{
    bool bFailed = false, bAny = false;
    for (int s = 0; s < 2; ++s)
        if (node.bWant[s])
        {
            bFailed = bFailed || node.result[s] != CFolderListing::kListed || node.bTooDeep[s];
            bAny = bAny || !node.bLoop[s];
        }
    // Nothing under a folder that one side could not list gets a row: what that side holds there is unknown, so
    // neither the other side's entries there are on one side only. The folder's own row stands for them.
    node.bEntered = !bFailed && bAny;
    if (node.bEntered)
        node.rows = CFolderListing::MergeFolder(std::move(node.side[0]), std::move(node.side[1]));
    node.side[0] = std::vector<CListedPair>();
    node.side[1] = std::vector<CListedPair>();
    // A name left out of both sides is one name left out.
    std::vector<std::wstring> both;
    std::set_union(node.excluded[0].begin(), node.excluded[0].end(), node.excluded[1].begin(), node.excluded[1].end(),
                   std::back_inserter(both));
    node.nExcluded = both.size();
    node.excluded[0] = node.excluded[1] = std::vector<std::wstring>();
}

// Under the lock, once every side the folder has is listed and merged.
void CTreeWalk::State::Listed(const NodePtr& pNode)
{
    Node& node = *pNode;
    nExcluded += node.nExcluded;
    node.children.resize(node.rows.size());
    for (size_t i = 0; i < node.rows.size(); ++i)
    {
        const CListedPair& row = node.rows[i];
        if (row.kind[0] != EListed::kFolder && row.kind[1] != EListed::kFolder)
            continue;
        NodePtr child = std::make_shared<Node>();
        child->strRelative = row.strName;
        child->pParent = pNode;
        child->key = node.key;
        child->key.push_back(static_cast<UINT32>(i));
        child->nLevel = node.nLevel + 1;
        for (int s = 0; s < 2; ++s)
            child->bWant[s] = row.kind[s] == EListed::kFolder;
        node.children[i] = child;
        AddTasks(child);
    }
    Hold(node.rows.size());
    node.bListed = true;
    if (!node.rows.empty())
        ::WakeAllConditionVariable(&cvTasks);
}

void CTreeWalk::State::ListerMain()
{
    ::AcquireSRWLockExclusive(&lock);
    for (;;)
    {
        NodePtr node;
        int s = 0;
        while (!bStop)
        {
            // The folder the caller waits for first; else the first in tree order, while the window has room.
            auto it = pending.end();
            if (pWanted)
            {
                it = pending.find(TaskKey(pWanted->key, 0));
                if (it == pending.end())
                    it = pending.find(TaskKey(pWanted->key, 1));
            }
            if (it == pending.end() && !pending.empty() &&
                (pending.begin()->second->bCounted || nAhead < options.nWindow))
                it = pending.begin();
            if (it != pending.end())
            {
                node = it->second;
                s = it->first.second;
                pending.erase(it);
                break;
            }
            ::SleepConditionVariableSRW(&cvTasks, &lock, INFINITE, 0);
        }
        if (bStop)
            break;
        if (!node->bCounted)
        {
            node->bCounted = true;
            ++nAhead;
        }
        node->bStarted[s] = true;
        ::ReleaseSRWLockExclusive(&lock);
        ListSide(*node, s);
        ::AcquireSRWLockExclusive(&lock);
        node->bSideDone[s] = true;
        if ((!node->bWant[0] || node->bSideDone[0]) && (!node->bWant[1] || node->bSideDone[1]))
        {
            ::ReleaseSRWLockExclusive(&lock);
            Merge(*node);
            ::AcquireSRWLockExclusive(&lock);
            Listed(node);
            if (node == pWanted)
                ::WakeConditionVariable(&cvListed);
        }
    }
    ::ReleaseSRWLockExclusive(&lock);
}

CTreeWalk::CTreeWalk() : m_pState(nullptr)
{
}

CTreeWalk::~CTreeWalk()
{
    if (m_pState && !m_pState->bLeftBehind)
    {
        Stop(DestructorWait());
        if (!m_pState->bLeftBehind)
            delete m_pState;
    }
}

bool CTreeWalk::Start(const CWalkOptions& options)
{
    m_pState = new State;
    State& st = *m_pState;
    st.options = options;
    st.pTop = std::make_shared<Node>();
    st.pTop->bWant[0] = st.pTop->bWant[1] = true;
    st.AddTasks(st.pTop);
    const UINT32 nListers = options.nListers < 1 ? 1 : options.nListers;
    for (UINT32 i = 0; i < nListers; ++i)
    {
        HANDLE h = ::CreateThread(nullptr, 0, State::ListerProc, &st, 0, nullptr);
        if (!h)
        {
            Stop(INFINITE);
            return false;
        }
        st.threads.push_back(h);
    }
    return true;
}

CTreeWalk::Result CTreeWalk::Next(CListedPair& row, DWORD dwMs)
{
    State& st = *m_pState;
    ::AcquireSRWLockExclusive(&st.lock);
    Result result = kWait;
    for (;;)
    {
        NodePtr pNeed = !st.bTopTaken ? st.pTop : nullptr;
        Node* pNode = st.stack.empty() ? nullptr : st.stack.back().get();
        if (!pNeed && pNode && pNode->nCursor < pNode->rows.size())
            pNeed = pNode->children[pNode->nCursor];
        if (pNeed && !pNeed->bListed)
        {
            if (st.bStop || dwMs == 0)
                break;
            st.pWanted = pNeed;
            ::WakeAllConditionVariable(&st.cvTasks);
            ::SleepConditionVariableSRW(&st.cvListed, &st.lock, dwMs, 0);
            st.pWanted = nullptr;
            dwMs = 0;
            continue;
        }
        if (!st.bTopTaken)
        {
            if (!st.pTop->bEntered)
            {
                result = kFailed;
                break;
            }
            st.bTopTaken = true;
            --st.nAhead;
            st.stack.push_back(st.pTop);
            continue;
        }
        if (!pNode)
        {
            result = kEnd;
            break;
        }
        if (pNode->nCursor == pNode->rows.size())
        {
            st.nHeld -= pNode->rows.size();
            st.stack.pop_back();
            continue;
        }
        row = std::move(pNode->rows[pNode->nCursor]);
        if (pNeed)
        {
            // The folder's own row says what each side's listing found.
            for (int s = 0; s < 2; ++s)
                if (pNeed->bWant[s])
                {
                    const bool bFailed = pNeed->result[s] != CFolderListing::kListed || pNeed->bTooDeep[s];
                    row.kind[s] = bFailed ? EListed::kCannotList : pNeed->bLoop[s] ? EListed::kLoop : EListed::kFolder;
                    row.bTooDeep = row.bTooDeep || pNeed->bTooDeep[s];
                }
            --st.nAhead;
            ::WakeAllConditionVariable(&st.cvTasks);
            pNode->children[pNode->nCursor] = nullptr;
            if (pNeed->bEntered)
                st.stack.push_back(pNeed);
        }
        ++pNode->nCursor;
        result = kRow;
        break;
    }
    ::ReleaseSRWLockExclusive(&st.lock);
    return result;
}

CString CTreeWalk::FailedFolder(int s) const
{
    const State& st = *m_pState;
    const Node& top = *st.pTop;
    return top.bListed && top.bWant[s] && top.result[s] != CFolderListing::kListed ? st.options.strFolder[s] : CString();
}

UINT64 CTreeWalk::HiddenSystem() const
{
    State& st = *m_pState;
    ::AcquireSRWLockShared(&st.lock);
    const UINT64 n = st.nHiddenSystem;
    ::ReleaseSRWLockShared(&st.lock);
    return n;
}

UINT64 CTreeWalk::Excluded() const
{
    State& st = *m_pState;
    ::AcquireSRWLockShared(&st.lock);
    const UINT64 n = st.nExcluded;
    ::ReleaseSRWLockShared(&st.lock);
    return n;
}

UINT64 CTreeWalk::EntriesListed() const
{
    return m_pState->nEntries.load(std::memory_order_relaxed);
}

size_t CTreeWalk::MostRowsHeld() const
{
    State& st = *m_pState;
    ::AcquireSRWLockShared(&st.lock);
    const size_t n = st.nMostHeld;
    ::ReleaseSRWLockShared(&st.lock);
    return n;
}

void CTreeWalk::Stop(DWORD dwMs)
{
    if (!m_pState || m_pState->bLeftBehind)
        return;
    State& st = *m_pState;
    ::AcquireSRWLockExclusive(&st.lock);
    st.bStop = true;
    st.bStopping.store(true);
    ::WakeAllConditionVariable(&st.cvTasks);
    ::WakeAllConditionVariable(&st.cvListed);
    ::ReleaseSRWLockExclusive(&st.lock);
    // A lister held in a request to a dead share is left behind with the state.
    if (!CancelThreads(st.threads, dwMs))
        st.bLeftBehind = true;
}
