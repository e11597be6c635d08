// FakeFileService.exe: a double of the vault client's local file service. Serves the service's
// named pipe in message mode, answers every request with one 256-byte message, and appends one
// line per request to a log:
//   <connected us> <replying us> <client pid> <request bytes> <request as hex>
// (times from the performance counter, comparable across the processes of one machine).
// It ends when the stop event is signalled or after the time limit, whichever comes first, so a
// test that dies never leaves it behind for long.
// Usage: FakeFileService --log FILE [--ready EVENT] [--stop EVENT] [--limit-ms N] [--delay-ms N]
#include "refupdate/TempFolderMgr.h"

#include <cstdio>
#include <cwchar>
#include <map>
#include <string>
#include <vector>
#include <windows.h>

namespace {

constexpr int kInstances = 4; // listening at once, so a client never finds the pipe busy

struct Options {
    std::wstring log, ready, stop;
    DWORD limitMs, delayMs;
};

HANDLE gLog = INVALID_HANDLE_VALUE;
CRITICAL_SECTION gLogLock;
Options gOptions;

long long Microseconds() {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return now.QuadPart / frequency.QuadPart * 1000000 +
           now.QuadPart % frequency.QuadPart * 1000000 / frequency.QuadPart;
}

void Record(long long connected, long long replying, ULONG client,
            const std::vector<unsigned char>& request) {
    std::string line = std::to_string(connected) + " " + std::to_string(replying) + " " +
                       std::to_string(client) + " " + std::to_string(request.size()) + " ";
    char hex[3];
    for (unsigned char byte : request) {
        std::snprintf(hex, sizeof hex, "%02x", byte);
        line += hex;
    }
    line += "\n";
    EnterCriticalSection(&gLogLock);
    DWORD written = 0;
    WriteFile(gLog, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    LeaveCriticalSection(&gLogLock);
}

// Reads one whole message, however long.
bool ReadMessage(HANDLE pipe, std::vector<unsigned char>& message) {
    message.clear();
    unsigned char chunk[1024];
    for (;;) {
        DWORD read = 0;
        const BOOL ok = ReadFile(pipe, chunk, sizeof chunk, &read, nullptr);
        message.insert(message.end(), chunk, chunk + read);
        if (ok)
            return true;
        if (GetLastError() != ERROR_MORE_DATA)
            return false;
    }
}

DWORD WINAPI Serve(void* readyCount) {
    const HANDLE pipe =
        CreateNamedPipeW(ffm::refupdate::kFileServicePipe, PIPE_ACCESS_DUPLEX,
                         PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
                         ffm::refupdate::kMaxReplyBytes, 4096, 0, nullptr);
    InterlockedIncrement(static_cast<LONG*>(readyCount));
    if (pipe == INVALID_HANDLE_VALUE)
        return 1;
    std::vector<unsigned char> request;
    for (;;) {
        if (!ConnectNamedPipe(pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED)
            continue;
        const long long connected = Microseconds();
        ULONG client = 0;
        GetNamedPipeClientProcessId(pipe, &client);
        if (ReadMessage(pipe, request)) {
            Sleep(gOptions.delayMs);
            const long long replying = Microseconds();
            Record(connected, replying, client, request);
            unsigned char reply[ffm::refupdate::kMaxReplyBytes] = {'O', 'K'};
            DWORD written = 0;
            WriteFile(pipe, reply, sizeof reply, &written, nullptr);
            FlushFileBuffers(pipe);
        }
        DisconnectNamedPipe(pipe);
    }
}

bool Parse(int argc, wchar_t** argv) {
    std::map<std::wstring, std::wstring> values{{L"--log", L""},
                                                {L"--ready", L""},
                                                {L"--stop", L""},
                                                {L"--limit-ms", L"60000"},
                                                {L"--delay-ms", L"0"}};
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!values.count(argv[i]))
            return false;
        values[argv[i]] = argv[i + 1];
    }
    gOptions = {values[L"--log"], values[L"--ready"], values[L"--stop"],
                std::wcstoul(values[L"--limit-ms"].c_str(), nullptr, 10),
                std::wcstoul(values[L"--delay-ms"].c_str(), nullptr, 10)};
    return argc % 2 == 1 && !gOptions.log.empty();
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (!Parse(argc, argv)) {
        std::fprintf(stderr, "usage: FakeFileService --log FILE [--ready EVENT] [--stop EVENT] "
                             "[--limit-ms N] [--delay-ms N]\n");
        return 2;
    }
    InitializeCriticalSection(&gLogLock);
    gLog = CreateFileW(gOptions.log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (gLog == INVALID_HANDLE_VALUE)
        return 1;
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, gOptions.stop.empty() ? nullptr : gOptions.stop.c_str());

    LONG listening = 0;
    for (int i = 0; i < kInstances; ++i)
        CloseHandle(CreateThread(nullptr, 0, Serve, &listening, 0, nullptr));
    while (InterlockedCompareExchange(&listening, 0, 0) < kInstances)
        Sleep(1);
    if (!gOptions.ready.empty()) {
        HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, gOptions.ready.c_str());
        SetEvent(ready);
        CloseHandle(ready);
    }
    WaitForSingleObject(stop, gOptions.limitMs);
    // The serving threads block in the pipe calls; ending the process ends them.
    EnterCriticalSection(&gLogLock);
    CloseHandle(gLog);
    ExitProcess(0);
}
