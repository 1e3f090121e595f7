// The floors the setup program's own runs are measured against: the least a
// program can do for the same result, one step after the other, with nothing
// overlapped. Run by scripts/bench as whole processes, like the program.
//
//   bench_floor install URL FILE         GET the body whole, hash it, write it
//   bench_floor current URL URL FILE     two GETs, then read FILE whole and hash it
//   bench_floor idle MS                  a bare process that only waits
//   bench_floor idle-window MS           the same with COM initialised and a hidden
//                                        window: what any windowed COM program pays
//   bench_floor least-current URL LNK    only what every up-to-date start must do,
//                                        once each: COM, a hidden window, a worker
//                                        thread with COM, one GET, an ECDSA P-256
//                                        check and a shell link saved to LNK
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <bcrypt.h>
#include <winhttp.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

std::wstring wide(const char* text) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, -1, out.data(), n);
    out.resize(static_cast<std::size_t>(n > 0 ? n - 1 : 0));
    return out;
}

// One GET with the body read straight into a buffer; false on any failure.
bool fetch(HINTERNET session, const char* url, Bytes& body) {
    const std::wstring address = wide(url);
    wchar_t host[256] = {};
    wchar_t path[2048] = {};
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = 256;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = 2048;
    if (!WinHttpCrackUrl(address.c_str(), 0, 0, &parts)) return false;
    HINTERNET connection = WinHttpConnect(session, host, parts.nPort, 0);
    HINTERNET request = connection ? WinHttpOpenRequest(connection, L"GET", path, nullptr, WINHTTP_NO_REFERER,
                                                        WINHTTP_DEFAULT_ACCEPT_TYPES, 0)
                                   : nullptr;
    bool ok = request && WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) &&
              WinHttpReceiveResponse(request, nullptr);
    body.clear();
    while (ok) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request, &available)) ok = false;
        if (!ok || available == 0) break;
        const std::size_t at = body.size();
        body.resize(at + available);
        DWORD read = 0;
        if (!WinHttpReadData(request, body.data() + at, available, &read)) ok = false;
        body.resize(at + read);
        if (read == 0) break;
    }
    if (request) WinHttpCloseHandle(request);
    if (connection) WinHttpCloseHandle(connection);
    return ok;
}

bool hash(const Bytes& bytes) {
    unsigned char digest[32];
    return BCryptHash(reinterpret_cast<BCRYPT_ALG_HANDLE>(0x41), nullptr, 0, const_cast<PUCHAR>(bytes.data()),
                      static_cast<ULONG>(bytes.size()), digest, sizeof digest) == 0;
}

bool write_whole(const char* file, const Bytes& bytes) {
    HANDLE out = CreateFileW(wide(file).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const bool ok = WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                    written == bytes.size() && FlushFileBuffers(out);
    CloseHandle(out);
    return ok;
}

bool read_whole(const char* file, Bytes& bytes) {
    HANDLE in = CreateFileW(wide(file).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (in == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size{};
    GetFileSizeEx(in, &size);
    bytes.resize(static_cast<std::size_t>(size.QuadPart));
    DWORD read = 0;
    const bool ok = ReadFile(in, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) && read == bytes.size();
    CloseHandle(in);
    return ok;
}

// An ECDSA P-256 signature made and checked, so that the same code as the
// release's signature check is loaded and run.
bool ecdsa_round() {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_KEY_HANDLE key = nullptr;
    unsigned char digest[32] = {1};
    unsigned char signature[64];
    ULONG length = 0;
    bool ok = BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) == 0 &&
              BCryptGenerateKeyPair(algorithm, &key, 256, 0) == 0 && BCryptFinalizeKeyPair(key, 0) == 0 &&
              BCryptSignHash(key, nullptr, digest, sizeof digest, signature, sizeof signature, &length, 0) == 0 &&
              BCryptVerifySignature(key, nullptr, digest, sizeof digest, signature, length, 0) == 0;
    if (key) BCryptDestroyKey(key);
    if (algorithm) BCryptCloseAlgorithmProvider(algorithm, 0);
    return ok;
}

bool save_shell_link(const std::wstring& file) {
    IShellLinkW* link = nullptr;
    IPersistFile* persist = nullptr;
    bool ok = SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                         reinterpret_cast<void**>(&link))) &&
              SUCCEEDED(link->SetPath(L"C:\\windows\\notepad.exe")) &&
              SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&persist))) &&
              SUCCEEDED(persist->Save(file.c_str(), TRUE));
    if (persist) persist->Release();
    if (link) link->Release();
    return ok;
}

struct LeastCurrent {
    const char* url;
    std::wstring link;
    bool ok = false;
};

DWORD WINAPI least_current_worker(void* parameter) {
    auto& work = *static_cast<LeastCurrent*>(parameter);
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    HINTERNET session = WinHttpOpen(L"VireloBench/1.0", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, 0);
    Bytes body;
    work.ok = fetch(session, work.url, body) && ecdsa_round() && save_shell_link(work.link);
    WinHttpCloseHandle(session);
    return 0;
}

// The main thread keeps its window's messages flowing while the worker runs,
// as the setup program does.
bool least_current(const char* url, const char* link) {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    HWND window = CreateWindowExW(0, L"STATIC", L"", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr, nullptr,
                                  nullptr);
    LeastCurrent work{url, wide(link)};
    HANDLE worker = CreateThread(nullptr, 0, least_current_worker, &work, 0, nullptr);
    if (!worker) return false;
    while (MsgWaitForMultipleObjects(1, &worker, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    }
    CloseHandle(worker);
    DestroyWindow(window);
    return work.ok;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if ((mode == "idle" || mode == "idle-window") && argc == 3) {
        if (mode == "idle-window") {
            CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
            HWND window = CreateWindowExW(0, L"STATIC", L"", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr,
                                          nullptr, nullptr);
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
            DestroyWindow(window);
        }
        Sleep(static_cast<DWORD>(std::atoi(argv[2])));
        return 0;
    }
    if (mode == "least-current" && argc == 4) return least_current(argv[2], argv[3]) ? 0 : 1;
    HINTERNET session = WinHttpOpen(L"VireloBench/1.0", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, 0);
    Bytes body;
    bool ok = false;
    if (mode == "install" && argc == 4) {
        ok = fetch(session, argv[2], body) && hash(body) && write_whole(argv[3], body);
    } else if (mode == "current" && argc == 5) {
        Bytes second;
        ok = fetch(session, argv[2], body) && fetch(session, argv[3], second) && read_whole(argv[4], body) && hash(body);
    } else {
        std::fprintf(stderr, "usage: bench_floor install URL FILE | current URL URL FILE | idle MS | idle-window MS | "
                             "least-current URL LNK\n");
        return 2;
    }
    WinHttpCloseHandle(session);
    return ok ? 0 : 1;
}
