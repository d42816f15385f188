// Bounded access to the two buffers of a property request. The sizes the
// request names are the only truth about the buffers: every read and write
// goes through these helpers, which check the size first and copy bytes
// (buffers carry no alignment promise).
#pragma once

#include "platform/ks.h"
#include "platform/strmini.h"

#include <string.h>

// The instance: the ULONG right behind the property header.
#define PROPERTY_INSTANCE_OFFSET sizeof(KSPROPERTY)

inline PSTREAM_PROPERTY_DESCRIPTOR PropertyDescriptor(PHW_STREAM_REQUEST_BLOCK Srb)
{
    return Srb->CommandData.PropertyInfo;
}

// TRUE when the request has a descriptor, a whole property header and a
// data buffer wherever it names one; nothing else about it can be read
// otherwise.
inline BOOLEAN PropertyRequestIsWhole(PHW_STREAM_REQUEST_BLOCK Srb)
{
    PSTREAM_PROPERTY_DESCRIPTOR descriptor = Srb->CommandData.PropertyInfo;
    return descriptor != nullptr && descriptor->Property != nullptr &&
           descriptor->PropertyInputSize >= sizeof(KSPROPERTY) &&
           (descriptor->PropertyInfo != nullptr || descriptor->PropertyOutputSize == 0);
}

// FALSE when the property buffer holds no instance.
inline BOOLEAN ReadPropertyInstance(const STREAM_PROPERTY_DESCRIPTOR* Descriptor, ULONG* Instance)
{
    if (Descriptor->PropertyInputSize < PROPERTY_INSTANCE_OFFSET + sizeof(ULONG)) {
        return FALSE;
    }
    memcpy(Instance, reinterpret_cast<const UCHAR*>(Descriptor->Property) + PROPERTY_INSTANCE_OFFSET,
           sizeof(ULONG));
    return TRUE;
}

// The ULONG at Offset of the property buffer, when it lies inside it.
inline BOOLEAN ReadPropertyUlong(const STREAM_PROPERTY_DESCRIPTOR* Descriptor, ULONG Offset, ULONG* Value)
{
    if (Offset > Descriptor->PropertyInputSize || Descriptor->PropertyInputSize - Offset < sizeof(ULONG)) {
        return FALSE;
    }
    memcpy(Value, reinterpret_cast<const UCHAR*>(Descriptor->Property) + Offset, sizeof(ULONG));
    return TRUE;
}

// The data buffer when it holds at least Needed bytes, else null.
inline PUCHAR DataBuffer(const STREAM_PROPERTY_DESCRIPTOR* Descriptor, ULONG Needed)
{
    if (Descriptor->PropertyInfo == nullptr || Descriptor->PropertyOutputSize < Needed) {
        return nullptr;
    }
    return static_cast<PUCHAR>(Descriptor->PropertyInfo);
}

inline ULONG LoadUlong(const UCHAR* Buffer, ULONG Offset)
{
    ULONG value;
    memcpy(&value, Buffer + Offset, sizeof(value));
    return value;
}

inline VOID StoreUlong(PUCHAR Buffer, ULONG Offset, ULONG Value)
{
    memcpy(Buffer + Offset, &Value, sizeof(Value));
}

// The answer to a data buffer too small for the record: an empty buffer on
// a get asks for the size (STATUS_BUFFER_OVERFLOW with the size needed),
// anything else is refused with STATUS_BUFFER_TOO_SMALL and no bytes.
inline NTSTATUS DataTooSmall(BOOLEAN Get, const STREAM_PROPERTY_DESCRIPTOR* Descriptor, ULONG Needed,
                             PULONG Bytes)
{
    if (Get && Descriptor->PropertyOutputSize == 0) {
        *Bytes = Needed;
        return STATUS_BUFFER_OVERFLOW;
    }
    *Bytes = 0;
    return STATUS_BUFFER_TOO_SMALL;
}

// The property header's Id, read without assuming the buffer's alignment.
inline ULONG PropertyIdOf(const STREAM_PROPERTY_DESCRIPTOR* Descriptor)
{
    ULONG id;
    memcpy(&id, reinterpret_cast<const UCHAR*>(Descriptor->Property) + offsetof(KSIDENTIFIER, Id), sizeof(id));
    return id;
}

// Ends a handler: the status goes into the request, and an error never
// reports bytes.
inline NTSTATUS FinishProperty(PHW_STREAM_REQUEST_BLOCK Srb, NTSTATUS Status, ULONG Bytes)
{
    Srb->Status = Status;
    Srb->ActualBytesTransferred = NT_SUCCESS(Status) || Status == STATUS_BUFFER_OVERFLOW ? Bytes : 0;
    return Status;
}
