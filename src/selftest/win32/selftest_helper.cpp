#include "selftest/win32/selftest_helper.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include "base/text.h"

static_assert(sizeof(wchar_t) == sizeof(char16_t));

namespace olv {

namespace {

constexpr DWORD kChildWaitMs = 10000;
constexpr DWORD kSocketWaitMs = 5000;
// PowerShell's first start on a cold machine loads much; the check's own time is 30 s.
constexpr DWORD kPowerShellWaitMs = 20000;
const char kPayload[] = "olvetta self-test";
// This program's path, and a command line of it with a switch.
constexpr DWORD kSelfChars = MAX_PATH * 4;
constexpr size_t kSelfLineChars = kSelfChars + 40;

const wchar_t* W(const char16_t* text) {
    return reinterpret_cast<const wchar_t*>(text);
}

struct Helper {
    const SelftestPlan* plan;
    int failAt;
    int step;
    uint32_t attempted;
    uint32_t failed;
    HANDLE file;
    HKEY key;
    SOCKET listener;
    SOCKET client;
    SOCKET accepted;
    SOCKET udpReceiver;
    SOCKET udpSender;
    HANDLE pipeServer;
    HANDLE pipeClient;
    bool noPowerShell;
};

// Whether the next action may run: false once failAt actions have run (the rest then count as
// failed, as after a step that failed).
bool Go(Helper* h, int action) {
    if (h->failAt >= 0 && h->step >= h->failAt) {
        h->failed |= 1u << action;
        return false;
    }
    ++h->step;
    h->attempted |= 1u << action;
    return true;
}

void Fail(Helper* h, int action) {
    h->failed |= 1u << action;
}

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// Binds the socket to the first free port of the plan's span; 0 when none is free.
uint16_t BindInSpan(SOCKET s, uint16_t first) {
    for (uint16_t port = first; port < first + kSelftestPortSpan; ++port) {
        const sockaddr_in a = Loopback(port);
        if (bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) return port;
    }
    return 0;
}

void SetTimeouts(SOCKET s) {
    const DWORD ms = kSocketWaitMs;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
}

// This program's path and the command line that starts it again with switchText; false when
// either does not fit.
bool SelfWithSwitch(const char16_t* switchText, wchar_t (&self)[kSelfChars],
                    wchar_t (&line)[kSelfLineChars]) {
    const DWORD n = GetModuleFileNameW(nullptr, self, kSelfChars);
    if (n == 0 || n >= kSelfChars) return false;
    return SelftestChildCommandLine(reinterpret_cast<const char16_t*>(self), switchText,
                                    reinterpret_cast<char16_t*>(line), kSelfLineChars);
}

void StartChild(Helper* h) {
    if (!Go(h, kActChild)) return;
    wchar_t self[kSelfChars];
    wchar_t line[kSelfLineChars];
    if (!SelfWithSwitch(kSelftestChildSwitch, self, line)) return Fail(h, kActChild);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(self, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return Fail(h, kActChild);
    if (WaitForSingleObject(pi.hProcess, kChildWaitMs) != WAIT_OBJECT_0) {
        TerminateProcess(pi.hProcess, 1);
        Fail(h, kActChild);
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
}

// The second child: started suspended, it never runs. A thread is made in it and it is opened
// as a process that reads another's memory does; then it is ended, and waited for.
void Target(Helper* h) {
    if (!Go(h, kActTarget)) return;
    wchar_t self[kSelfChars];
    wchar_t line[kSelfLineChars];
    if (!SelfWithSwitch(kSelftestTargetSwitch, self, line)) return Fail(h, kActTarget);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(self, line, nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr,
                        &si, &pi)) {
        return Fail(h, kActTarget);
    }
    if (Go(h, kActRemoteThread)) {
        // ntdll is mapped at the same address in every process from its creation on (kernel32
        // comes only once the loader has run, which a suspended process has not), and its
        // thread exit ends the thread at once; made suspended, the thread does not even run.
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        FARPROC exitThread =
            ntdll != nullptr ? GetProcAddress(ntdll, "RtlExitUserThread") : nullptr;
        DWORD threadId = 0;
        HANDLE thread = exitThread == nullptr
                            ? nullptr
                            : CreateRemoteThread(pi.hProcess, nullptr, 0,
                                                 reinterpret_cast<LPTHREAD_START_ROUTINE>(
                                                     reinterpret_cast<void*>(exitThread)),
                                                 nullptr, CREATE_SUSPENDED, &threadId);
        if (thread == nullptr) {
            Fail(h, kActRemoteThread);
        } else {
            CloseHandle(thread);
        }
    }
    if (Go(h, kActOpenProcess)) {
        HANDLE opened =
            OpenProcess(PROCESS_VM_READ | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pi.dwProcessId);
        if (opened == nullptr) {
            Fail(h, kActOpenProcess);
        } else {
            CloseHandle(opened);
        }
    }
    // Ended in every case, whatever the steps did.
    if (!TerminateProcess(pi.hProcess, 0) ||
        WaitForSingleObject(pi.hProcess, kChildWaitMs) != WAIT_OBJECT_0) {
        Fail(h, kActTarget);
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
}

void LoadDll(Helper* h) {
    if (!Go(h, kActDll)) return;
    wchar_t path[MAX_PATH];
    const UINT n = GetSystemDirectoryW(path, MAX_PATH);
    if (n == 0 || n + 1 + TextLength(h->plan->dll) >= MAX_PATH) return Fail(h, kActDll);
    lstrcatW(path, L"\\");
    lstrcatW(path, W(h->plan->dll));
    HMODULE module = LoadLibraryW(path);
    if (module == nullptr) return Fail(h, kActDll);
    FreeLibrary(module);
}

void Files(Helper* h) {
    const SelftestPlan* p = h->plan;
    if (!Go(h, kActFolder)) return;
    if (!CreateDirectoryW(W(p->folder), nullptr)) return Fail(h, kActFolder);
    if (!Go(h, kActFileCreate)) return;
    h->file = CreateFileW(W(p->firstFile), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h->file == INVALID_HANDLE_VALUE) {
        h->file = nullptr;
        return Fail(h, kActFileCreate);
    }
    if (!Go(h, kActFileWrite)) return;
    DWORD written = 0;
    if (!WriteFile(h->file, kPayload, sizeof kPayload - 1, &written, nullptr) ||
        written != sizeof kPayload - 1 || !FlushFileBuffers(h->file)) {
        Fail(h, kActFileWrite);
    }
    CloseHandle(h->file);
    h->file = nullptr;
    if (!Go(h, kActFileRename)) return;
    if (!MoveFileExW(W(p->firstFile), W(p->secondFile), 0)) return Fail(h, kActFileRename);
    if (!Go(h, kActFileDelete)) return;
    if (!DeleteFileW(W(p->secondFile))) Fail(h, kActFileDelete);
}

void Registry(Helper* h) {
    const SelftestPlan* p = h->plan;
    if (!Go(h, kActKeyCreate)) return;
    DWORD disposition = 0;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, W(p->key), 0, nullptr, REG_OPTION_VOLATILE,
                        KEY_SET_VALUE | KEY_QUERY_VALUE, nullptr, &h->key,
                        &disposition) != ERROR_SUCCESS) {
        h->key = nullptr;
        return Fail(h, kActKeyCreate);
    }
    if (!Go(h, kActValueSet)) return;
    static const wchar_t kData[] = L"olvetta self-test";
    if (RegSetValueExW(h->key, W(p->valueName), 0, REG_SZ, reinterpret_cast<const BYTE*>(kData),
                       sizeof kData) != ERROR_SUCCESS) {
        return Fail(h, kActValueSet);
    }
    if (!Go(h, kActValueDelete)) return;
    if (RegDeleteValueW(h->key, W(p->valueName)) != ERROR_SUCCESS) Fail(h, kActValueDelete);
    RegCloseKey(h->key);
    h->key = nullptr;
    if (!Go(h, kActKeyDelete)) return;
    if (RegDeleteKeyW(HKEY_CURRENT_USER, W(p->key)) != ERROR_SUCCESS) Fail(h, kActKeyDelete);
}

void Tcp(Helper* h) {
    if (!Go(h, kActTcpListen)) return;
    h->listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (h->listener == INVALID_SOCKET) return Fail(h, kActTcpListen);
    const uint16_t port = BindInSpan(h->listener, h->plan->tcpPort);
    if (port == 0 || listen(h->listener, 1) != 0) return Fail(h, kActTcpListen);
    if (!Go(h, kActTcpConnect)) return;
    h->client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (h->client == INVALID_SOCKET) return Fail(h, kActTcpConnect);
    SetTimeouts(h->client);
    const sockaddr_in to = Loopback(port);
    if (connect(h->client, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0)
        return Fail(h, kActTcpConnect);
    h->accepted = accept(h->listener, nullptr, nullptr);
    if (h->accepted == INVALID_SOCKET) return Fail(h, kActTcpConnect);
    SetTimeouts(h->accepted);
    if (!Go(h, kActTcpSend)) return;
    if (send(h->client, kPayload, sizeof kPayload - 1, 0) != sizeof kPayload - 1)
        return Fail(h, kActTcpSend);
    char back[64];
    if (recv(h->accepted, back, sizeof back, 0) <= 0) Fail(h, kActTcpSend);
}

void Udp(Helper* h) {
    if (!Go(h, kActUdpSend)) return;
    h->udpReceiver = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    h->udpSender = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (h->udpReceiver == INVALID_SOCKET || h->udpSender == INVALID_SOCKET)
        return Fail(h, kActUdpSend);
    SetTimeouts(h->udpReceiver);
    const uint16_t port = BindInSpan(h->udpReceiver, h->plan->udpPort);
    if (port == 0) return Fail(h, kActUdpSend);
    const sockaddr_in to = Loopback(port);
    if (sendto(h->udpSender, kPayload, sizeof kPayload - 1, 0,
               reinterpret_cast<const sockaddr*>(&to), sizeof to) != sizeof kPayload - 1) {
        return Fail(h, kActUdpSend);
    }
    char back[64];
    if (recvfrom(h->udpReceiver, back, sizeof back, 0, nullptr, nullptr) <= 0) Fail(h, kActUdpSend);
}

// A pipe's server end, and a client end opened to it: the server instance listens from its
// creation, so the open connects at once and nothing waits.
void Pipe(Helper* h) {
    if (!Go(h, kActPipeCreate)) return;
    h->pipeServer = CreateNamedPipeW(
        W(h->plan->pipe), PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 256, 256,
        0, nullptr);
    if (h->pipeServer == INVALID_HANDLE_VALUE) {
        h->pipeServer = nullptr;
        return Fail(h, kActPipeCreate);
    }
    if (!Go(h, kActPipeConnect)) return;
    h->pipeClient = CreateFileW(W(h->plan->pipe), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h->pipeClient == INVALID_HANDLE_VALUE) {
        h->pipeClient = nullptr;
        return Fail(h, kActPipeConnect);
    }
    // The client is there already: the server's connect returns at once.
    if (!ConnectNamedPipe(h->pipeServer, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED)
        Fail(h, kActPipeConnect);
}

// Whether the folder holds a file whose name has a colon: a file system without streams (Wine's
// on a Unix folder) makes one of "file:stream" instead of the stream.
bool FolderHasColonName(const SelftestPlan* p) {
    wchar_t pattern[kSelftestPathChars + 4];
    wsprintfW(pattern, L"%s\\*", W(p->folder));
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW(pattern, &found);
    if (find == INVALID_HANDLE_VALUE) return false;
    bool colon = false;
    do {
        for (const wchar_t* c = found.cFileName; *c != 0 && !colon; ++c)
            colon = *c == L':';
    } while (!colon && FindNextFileW(find, &found));
    FindClose(find);
    return colon;
}

// A named stream on a new file of the folder (the file's removal takes the stream with it).
void Stream(Helper* h) {
    const SelftestPlan* p = h->plan;
    if (!Go(h, kActStream)) return;
    if ((h->failed & (1u << kActFolder)) != 0) return Fail(h, kActStream);
    HANDLE file = CreateFileW(W(p->streamFile), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return Fail(h, kActStream);
    CloseHandle(file);
    file = CreateFileW(W(p->stream), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
    if (file == INVALID_HANDLE_VALUE) return Fail(h, kActStream);
    DWORD written = 0;
    if (!WriteFile(file, kPayload, sizeof kPayload - 1, &written, nullptr) ||
        written != sizeof kPayload - 1) {
        Fail(h, kActStream);
    }
    CloseHandle(file);
    if (FolderHasColonName(p)) Fail(h, kActStream);
}

// PowerShell, when the machine has it, running one line that names the tag (and prints
// nothing). The recorder switched script block logging on for the check.
void Script(Helper* h) {
    if (!Go(h, kActScript)) return;
    wchar_t path[MAX_PATH];
    const UINT n = GetSystemDirectoryW(path, MAX_PATH);
    static const wchar_t kRelative[] = L"\\WindowsPowerShell\\v1.0\\powershell.exe";
    if (n == 0 || n + lstrlenW(kRelative) >= MAX_PATH) return Fail(h, kActScript);
    lstrcatW(path, kRelative);
    if (GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) {
        h->noPowerShell = true;
        return;
    }
    wchar_t line[MAX_PATH + 200];
    wsprintfW(line, L"\"%s\" -NoProfile -NonInteractive -Command \"$null = '%s'\"", path,
              W(h->plan->tag));
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(path, line, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &si, &pi)) {
        return Fail(h, kActScript);
    }
    DWORD code = 1;
    if (WaitForSingleObject(pi.hProcess, kPowerShellWaitMs) != WAIT_OBJECT_0) {
        TerminateProcess(pi.hProcess, 1);
        WaitForSingleObject(pi.hProcess, kChildWaitMs);
        Fail(h, kActScript);
    } else if (!GetExitCodeProcess(pi.hProcess, &code) || code != 0) {
        Fail(h, kActScript);
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
}

// The name does not exist: the DNS client asks and fails, which is what is recorded. Only a
// lookup that could not be made at all counts as failed.
void Dns(Helper* h) {
    if (!Go(h, kActDnsQuery)) return;
    ADDRINFOW hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    ADDRINFOW* found = nullptr;
    const int result = GetAddrInfoW(W(h->plan->dnsName), nullptr, &hints, &found);
    if (found != nullptr) FreeAddrInfoW(found);
    if (result == WSANOTINITIALISED || result == WSA_NOT_ENOUGH_MEMORY) Fail(h, kActDnsQuery);
}

void CloseSocket(SOCKET* s) {
    if (*s != INVALID_SOCKET) closesocket(*s);
    *s = INVALID_SOCKET;
}

// Removes everything the plan names, whatever the steps did; true when nothing is left.
bool CleanUp(Helper* h) {
    const SelftestPlan* p = h->plan;
    CloseSocket(&h->client);
    CloseSocket(&h->accepted);
    CloseSocket(&h->listener);
    CloseSocket(&h->udpReceiver);
    CloseSocket(&h->udpSender);
    if (h->pipeClient != nullptr) CloseHandle(h->pipeClient);
    if (h->pipeServer != nullptr) CloseHandle(h->pipeServer);
    h->pipeClient = h->pipeServer = nullptr;
    if (h->file != nullptr) CloseHandle(h->file);
    h->file = nullptr;
    if (h->key != nullptr) {
        RegDeleteValueW(h->key, W(p->valueName));
        RegCloseKey(h->key);
        h->key = nullptr;
    }
    RegDeleteKeyW(HKEY_CURRENT_USER, W(p->key));
    DeleteFileW(W(p->firstFile));
    DeleteFileW(W(p->secondFile));
    DeleteFileW(W(p->stream)); // the stream, or the file a file system without streams made
    DeleteFileW(W(p->streamFile));
    RemoveDirectoryW(W(p->folder));

    HKEY left = nullptr;
    const bool keyLeft =
        RegOpenKeyExW(HKEY_CURRENT_USER, W(p->key), 0, KEY_READ, &left) == ERROR_SUCCESS;
    if (left != nullptr) RegCloseKey(left);
    return !keyLeft && GetFileAttributesW(W(p->folder)) == INVALID_FILE_ATTRIBUTES;
}

} // namespace

int RunSelftestHelper(void*, const SelftestPlan* plan, int failAt) {
    Helper h{};
    h.plan = plan;
    h.failAt = failAt;
    h.listener = h.client = h.accepted = h.udpReceiver = h.udpSender = INVALID_SOCKET;
    StartChild(&h);
    LoadDll(&h);
    Files(&h);
    Registry(&h);
    Tcp(&h);
    Udp(&h);
    Dns(&h);
    Pipe(&h);
    Stream(&h);
    Target(&h);
    Script(&h);
    // Actions a failed step left out were not done: they count as failed too.
    for (int a = 0; a < kSelftestActionCount; ++a) {
        if ((h.attempted & (1u << a)) == 0) Fail(&h, a);
    }
    uint32_t code = h.failed;
    if (h.noPowerShell) code |= kHelperNoPowerShell;
    if (!CleanUp(&h)) code |= kHelperCleanupFailed;
    return static_cast<int>(code);
}

int RunSelftestChild(void*) {
    return 0;
}

} // namespace olv
