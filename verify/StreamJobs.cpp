// CStreamJobs: each job of the stream let go on its own, the paths at once, the rest when its readers are done.
#include "StreamJobs.h"

void StreamFault()
{
    for (;;)
        ::RaiseException(0xE0544B01 /* 'TK' */, EXCEPTION_NONCONTINUABLE, 0, nullptr);
}

JobState& CStreamJobs::operator[](size_t j)
{
    JobState* pJob = Find(j);
    if (!pJob)
        StreamFault();
    return *pJob;
}

JobState* CStreamJobs::Find(size_t j)
{
    auto it = m_jobs.find(j);
    return it == m_jobs.end() ? nullptr : &it->second;
}

size_t CStreamJobs::Add(JobState&& job)
{
    // A side without a file has nothing to read: its readers pass the job by.
    for (int s = 0; s < 2; ++s)
        job.side[s].bLetGo = job.path[s].empty();
    m_jobs.emplace(m_nEnd, std::move(job));
    return m_nEnd++;
}

const JobState* CStreamJobs::Take(size_t j, int s)
{
    const JobState* pJob = Find(j);
    if (!pJob || pJob->side[s].bLetGo)
        return nullptr;
#if defined(TAVIK_VERIFY_SEAM) || defined(TAVIK_STREAM_CHECKS)
    // Tests only: the owner lets a job go only after its verdict, which both sides' readers make.
    if (!pJob->bAsked)
        StreamFault();
#endif
    return pJob;
}

void CStreamJobs::LetGo(size_t j, int s)
{
    auto it = m_jobs.find(j);
    if (it == m_jobs.end())
        StreamFault();
    it->second.side[s].bLetGo = true;
    DropIfDone(it);
}

void CStreamJobs::Release(size_t i)
{
    for (; m_nReleased < i && m_nReleased < m_nEnd; ++m_nReleased)
    {
        auto it = m_jobs.find(m_nReleased);
        if (it == m_jobs.end())
            continue;
        JobState& job = it->second;
        job.bAsked = false;
        for (std::wstring& path : job.path)
        {
#if defined(TAVIK_VERIFY_SEAM) || defined(TAVIK_STREAM_CHECKS)
            // Tests only: a reader that took a job let go opens no file at all, on every run, not one in ten.
            if (!path.empty())
                path.assign(L"\\\\?\\tavik-job-let-go\\").append(std::to_wstring(m_nReleased));
#else
            std::wstring().swap(path);
#endif
        }
        if (++m_nKept > m_nMostKept)
            m_nMostKept = m_nKept;
        DropIfDone(it);
    }
}

void CStreamJobs::DropIfDone(std::map<size_t, JobState>::iterator it)
{
    const JobState& job = it->second;
    for (const JobSide& side : job.side)
        if (!side.bLetGo || side.hFile || side.hSpare)
            return;
    if (job.bAsked)
        return;
    m_jobs.erase(it);
    --m_nKept;
}
