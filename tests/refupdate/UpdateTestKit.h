#pragma once
// What the reference update tests share: a temporary folder of their own for the library's
// working copies, the local file service double in a process of its own, snapshots of a file's
// bytes, attributes and times, and child processes.
#include "refupdate/TextRefPlugin.h"
#include "support/Sandbox.h"
#include <FileFmtMgr/FileFormatMgr.h>
#include <foundation/Handles.h>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

namespace ffmtest {

inline bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline std::string Read(const std::wstring& path) {
    std::string bytes;
    textref::ReadBytes(path, bytes);
    return bytes;
}

// The folder of the running executable, where the doubles are built too.
inline std::wstring BinFolder() {
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    return path.substr(0, path.find_last_of(L'\\'));
}

// Everything directly inside a folder (names only), sorted.
inline std::vector<std::wstring> Entries(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    ffm::UniqueFind search(FindFirstFileW((folder + L"\\*").c_str(), &found));
    if (!search)
        return names;
    do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..")
            names.push_back(name);
    } while (FindNextFileW(search.get(), &found));
    std::sort(names.begin(), names.end());
    return names;
}

// The library's temporary folder (TMP and TEMP) pointed at a fresh folder for the test's
// lifetime, so what the library leaves behind can be counted.
class PrivateTemp {
  public:
    PrivateTemp() : m_saved{Get(L"TMP"), Get(L"TEMP")} {
        SetEnvironmentVariableW(L"TMP", m_folder.Path().c_str());
        SetEnvironmentVariableW(L"TEMP", m_folder.Path().c_str());
    }
    ~PrivateTemp() {
        SetEnvironmentVariableW(L"TMP", m_saved[0].c_str());
        SetEnvironmentVariableW(L"TEMP", m_saved[1].c_str());
    }
    const std::wstring& Path() const { return m_folder.Path(); }
    std::vector<std::wstring> Left() const { return Entries(m_folder.Path()); }

  private:
    static std::wstring Get(const wchar_t* name) {
        wchar_t value[1024];
        const DWORD n = GetEnvironmentVariableW(name, value, 1024);
        return n && n < 1024 ? std::wstring(value, n) : std::wstring();
    }
    TempFolder m_folder; // made before TMP points at it
    std::wstring m_saved[2];
};

// A file's bytes, attributes and times.
struct FileState {
    std::string bytes;
    DWORD attributes = INVALID_FILE_ATTRIBUTES;
    FILETIME created{}, written{};

    static FileState Of(const std::wstring& path) {
        FileState s;
        s.bytes = Read(path);
        WIN32_FILE_ATTRIBUTE_DATA data{};
        if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
            s.attributes = data.dwFileAttributes;
            s.created = data.ftCreationTime;
            s.written = data.ftLastWriteTime;
        }
        return s;
    }
    bool operator==(const FileState& o) const {
        return bytes == o.bytes && attributes == o.attributes && CompareFileTime(&written, &o.written) == 0 &&
               CompareFileTime(&created, &o.created) == 0;
    }
};

inline void SetLastWrite(const std::wstring& path, WORD hour, WORD minute, WORD second, WORD ms) {
    SYSTEMTIME st{2024, 3, 0, 14, hour, minute, second, ms};
    FILETIME ft;
    SystemTimeToFileTime(&st, &ft);
    ffm::UniqueFile file(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     nullptr, OPEN_EXISTING, 0, nullptr));
    SetFileTime(file.get(), nullptr, nullptr, &ft);
}

inline SYSTEMTIME LastWrite(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data);
    SYSTEMTIME st{};
    FileTimeToSystemTime(&data.ftLastWriteTime, &st);
    return st;
}

// A program started with its output going to a file; killed (if still running) when it goes.
class ChildProcess {
  public:
    ChildProcess(const std::wstring& commandLine, const std::wstring& outputFile) {
        SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
        ffm::UniqueFile out(CreateFileW(outputFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        &inherit, CREATE_ALWAYS, 0, nullptr));
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = out.get();
        startup.hStdError = out.get();
        std::wstring command = commandLine;
        PROCESS_INFORMATION info{};
        if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                           &info)) {
            CloseHandle(info.hThread);
            m_process.reset(info.hProcess);
        }
    }
    ~ChildProcess() {
        if (m_process && WaitForSingleObject(m_process.get(), 0) == WAIT_TIMEOUT) {
            TerminateProcess(m_process.get(), 99);
            WaitForSingleObject(m_process.get(), 10000);
        }
    }
    // The exit code, or 0xFFFFFFFF when it did not end in time.
    DWORD Wait(DWORD ms = 120000) {
        if (!m_process || WaitForSingleObject(m_process.get(), ms) != WAIT_OBJECT_0)
            return 0xFFFFFFFF;
        DWORD code = 0xFFFFFFFF;
        GetExitCodeProcess(m_process.get(), &code);
        return code;
    }

  private:
    ffm::UniqueHandle m_process;
};

// One request as the service double recorded it.
struct ServiceRequest {
    long long connected = 0, replying = 0;
    unsigned long client = 0;
    std::vector<unsigned char> bytes;
};

// The local file service double, serving for the object's lifetime (and never longer than its
// own time limit).
class FileService {
  public:
    explicit FileService(DWORD delayMs = 0) {
        const std::wstring tag =
            std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount());
        m_log = m_folder.Path() + L"\\requests.log";
        const std::wstring readyName = L"Local\\FfmServiceReady-" + tag,
                           stopName = L"Local\\FfmServiceStop-" + tag;
        ffm::UniqueHandle ready(CreateEventW(nullptr, TRUE, FALSE, readyName.c_str()));
        m_stop.reset(CreateEventW(nullptr, TRUE, FALSE, stopName.c_str()));
        m_process = std::make_unique<ChildProcess>(
            L"\"" + BinFolder() + L"\\FakeFileService.exe\" --log \"" + m_log + L"\" --ready " + readyName +
                L" --stop " + stopName + L" --limit-ms 240000 --delay-ms " + std::to_wstring(delayMs),
            m_folder.Path() + L"\\service.out");
        m_ready = WaitForSingleObject(ready.get(), 30000) == WAIT_OBJECT_0;
    }
    ~FileService() {
        SetEvent(m_stop.get());
        m_process->Wait(10000);
    }
    bool Ready() const { return m_ready; }

    std::vector<ServiceRequest> Requests() const {
        std::istringstream lines(Read(m_log));
        std::vector<ServiceRequest> requests;
        ServiceRequest r;
        std::size_t size = 0;
        std::string hex;
        while (lines >> r.connected >> r.replying >> r.client >> size >> hex) {
            r.bytes.clear();
            for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
                r.bytes.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
            requests.push_back(r);
        }
        return requests;
    }

  private:
    TempFolder m_folder;
    std::wstring m_log;
    ffm::UniqueHandle m_stop;
    std::unique_ptr<ChildProcess> m_process;
    bool m_ready = false;
};

} // namespace ffmtest
