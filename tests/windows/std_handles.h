// What the Windows test programs hand a process they start: our own standard
// handles, as a server passes its CGI program's.
#pragma once

#include <windows.h>

inline STARTUPINFOA with_std_handles() {
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    return si;
}
