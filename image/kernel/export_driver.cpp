// The load and unload routines of an export driver (KvCamd20.SYS,
// ZELPIPE.SYS). The system loads such a library when a driver importing it
// loads, calls DllInitialize once and DllUnload when the last importer is
// gone; DriverEntry is only the image's entry point and is never called for
// a library loaded this way. Neither library keeps global state to set up.
#include "platform/wdm.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(DriverObject);
    UNREFERENCED_PARAMETER(RegistryPath);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI DllInitialize(PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI DllUnload(VOID) { return STATUS_SUCCESS; }
