// CStringList: a doubly linked list of CString, filled at the tail and walked by position.
#pragma once
#include "String.h"

typedef struct __POSITION {} *POSITION;

class CStringList
{
public:
    explicit CStringList(int nBlockSize = 10);
    ~CStringList();
    CStringList(const CStringList&) = delete;
    CStringList& operator=(const CStringList&) = delete;

    int GetCount() const { return m_nCount; }
    bool IsEmpty() const { return m_nCount == 0; }
    POSITION AddTail(const CString& s);
    CString RemoveHead();
    void RemoveAll();
    POSITION GetHeadPosition() const { return reinterpret_cast<POSITION>(m_pHead); }
    // Returns the element at pos and moves pos to the next one (null after the tail).
    const CString& GetNext(POSITION& pos) const;

private:
    struct CNode
    {
        CNode* pNext;
        CNode* pPrev;
        CString data;
    };
    CNode* m_pHead = nullptr;
    CNode* m_pTail = nullptr;
    int m_nCount = 0;
};
