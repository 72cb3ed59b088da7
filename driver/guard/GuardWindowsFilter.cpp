// The filter of the Windows exception guard: takes every exception and keeps
// its code in the guarding frame for the landing point to return.
#include <wdm.h>

extern "C" LONG CallGuardedFilter(PEXCEPTION_POINTERS pointers, PVOID establisherFrame)
{
    *reinterpret_cast<NTSTATUS *>(static_cast<UCHAR *>(establisherFrame) + 32) =
        pointers->ExceptionRecord->ExceptionCode;
    return 1; // EXCEPTION_EXECUTE_HANDLER
}
