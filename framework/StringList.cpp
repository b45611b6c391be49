// CStringList: node management.
#include "StringList.h"

// The block size only tuned the original allocator; nodes here are allocated one by one.
CStringList::CStringList(int /*nBlockSize*/) {}

CStringList::~CStringList()
{
    RemoveAll();
}

POSITION CStringList::AddTail(const CString& s)
{
    CNode* p = new CNode{nullptr, m_pTail, s};
    if (m_pTail)
        m_pTail->pNext = p;
    else
        m_pHead = p;
    m_pTail = p;
    ++m_nCount;
    return reinterpret_cast<POSITION>(p);
}

CString CStringList::RemoveHead()
{
    CNode* p = m_pHead;
    CString s = p->data;
    m_pHead = p->pNext;
    if (m_pHead)
        m_pHead->pPrev = nullptr;
    else
        m_pTail = nullptr;
    delete p;
    --m_nCount;
    return s;
}

void CStringList::RemoveAll()
{
    while (m_pHead)
    {
        CNode* p = m_pHead;
        m_pHead = p->pNext;
        delete p;
    }
    m_pTail = nullptr;
    m_nCount = 0;
}

const CString& CStringList::GetNext(POSITION& pos) const
{
    CNode* p = reinterpret_cast<CNode*>(pos);
    pos = reinterpret_cast<POSITION>(p->pNext);
    return p->data;
}
