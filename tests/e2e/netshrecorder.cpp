// Stands in for netsh.exe in the installer test's Wine prefix, whose own netsh does not keep firewall rules:
// appends its command line to the file that DEVIV_NETSH_LOG names, one line a call, and succeeds.
#include <windows.h>

#include <cstdio>
#include <cwchar>

int main() {
    const wchar_t *path = _wgetenv(L"DEVIV_NETSH_LOG");
    FILE *log = path ? _wfopen(path, L"a") : nullptr;
    if (!log)
        return 1;
    std::fwprintf(log, L"%ls\n", GetCommandLineW());
    return std::fclose(log) == 0 ? 0 : 1;
}
