#pragma once
// Recursive lock (one owner thread, re-entry allowed) and its scope guard.
#include <FileFmtMgr/Api.h>
#include <windows.h>

namespace ffm {

class FFM_API CriticalSection {
  public:
    class Scope {
      public:
        explicit Scope(CriticalSection& cs) noexcept : m_cs(&cs.m_cs) { ::EnterCriticalSection(m_cs); }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;
        ~Scope() { ::LeaveCriticalSection(m_cs); }

      private:
        CRITICAL_SECTION* m_cs;
    };

    // Raises the system error as an exception when the section cannot be made.
    CriticalSection();
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;
    ~CriticalSection() { ::DeleteCriticalSection(&m_cs); }

    [[nodiscard]] Scope Lock() noexcept { return Scope(*this); }
    // For tests and assertions: whether another thread could take it now.
    bool TryLockAndRelease() noexcept {
        if (!::TryEnterCriticalSection(&m_cs))
            return false;
        ::LeaveCriticalSection(&m_cs);
        return true;
    }

  private:
    CRITICAL_SECTION m_cs;
};

} // namespace ffm
