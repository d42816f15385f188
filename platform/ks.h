// Kernel-streaming records, constants and GUIDs that the minidriver, the
// class library and the stream class emulation exchange: identifiers,
// property tables, data formats, stream headers and connection states.
//
// Every record keeps its published name, field order and layout. Records that
// start with a KSIDENTIFIER or a KSDATAFORMAT carry 8-byte alignment (their
// union holds a LONGLONG), so they are rounded up to a multiple of 8 on every
// target; the sizes are pinned by static assertions at the end of this file
// and by the i386 layout check.
#pragma once

#include "ntdef.h"
#include "wdm.h"

// ------------------------------------------------------------ basic types ---

typedef LONGLONG REFERENCE_TIME;  // 100 ns units

typedef enum : ULONG {
    KSSTATE_STOP = 0,
    KSSTATE_ACQUIRE = 1,
    KSSTATE_PAUSE = 2,
    KSSTATE_RUN = 3,
} KSSTATE, *PKSSTATE;

typedef enum : ULONG {
    KSPIN_DATAFLOW_IN = 1,
    KSPIN_DATAFLOW_OUT = 2,
} KSPIN_DATAFLOW, *PKSPIN_DATAFLOW;

// Set + Id + Flags names a property, method, event or medium. The LONGLONG
// member exists only to give the record its 8-byte alignment.
typedef struct {
    union {
        struct {
            GUID Set;
            ULONG Id;
            ULONG Flags;
        };
        LONGLONG Alignment;
    };
} KSIDENTIFIER, *PKSIDENTIFIER;

typedef KSIDENTIFIER KSPROPERTY, *PKSPROPERTY;
typedef KSIDENTIFIER KSMETHOD, *PKSMETHOD;
typedef KSIDENTIFIER KSEVENT, *PKSEVENT;
typedef KSIDENTIFIER KSPIN_MEDIUM, *PKSPIN_MEDIUM;

// KSPROPERTY.Flags
#define KSPROPERTY_TYPE_GET 0x00000001
#define KSPROPERTY_TYPE_SET 0x00000002
#define KSPROPERTY_TYPE_SETSUPPORT 0x00000100
#define KSPROPERTY_TYPE_BASICSUPPORT 0x00000200
#define KSPROPERTY_TYPE_RELATIONS 0x00000400
#define KSPROPERTY_TYPE_SERIALIZESET 0x00000800
#define KSPROPERTY_TYPE_UNSERIALIZESET 0x00001000
#define KSPROPERTY_TYPE_SERIALIZERAW 0x00002000
#define KSPROPERTY_TYPE_UNSERIALIZERAW 0x00004000
#define KSPROPERTY_TYPE_SERIALIZESIZE 0x00008000
#define KSPROPERTY_TYPE_DEFAULTVALUES 0x00010000
#define KSPROPERTY_TYPE_TOPOLOGY 0x10000000

// KSMETHOD.Flags
#define KSMETHOD_TYPE_NONE 0x00000000
#define KSMETHOD_TYPE_READ 0x00000001
#define KSMETHOD_TYPE_WRITE 0x00000002
#define KSMETHOD_TYPE_MODIFY 0x00000003
#define KSMETHOD_TYPE_SOURCE 0x00000004
#define KSMETHOD_TYPE_SEND 0x00000001
#define KSMETHOD_TYPE_SETSUPPORT 0x00000100
#define KSMETHOD_TYPE_BASICSUPPORT 0x00000200
#define KSMETHOD_TYPE_TOPOLOGY 0x10000000

// Counted list header: Size covers the header and the items behind it.
typedef struct {
    ULONG Size;
    ULONG Count;
} KSMULTIPLE_ITEM, *PKSMULTIPLE_ITEM;

// ------------------------------------------------ property descriptions ---

// Value type ids (VARTYPE) for KSPROPERTY_VALUES.PropTypeSet.Id with the
// KSPROPTYPESETID_General set.
#define VT_EMPTY 0
#define VT_I2 2
#define VT_I4 3
#define VT_BOOL 11
#define VT_UI1 17
#define VT_UI2 18
#define VT_UI4 19
#define VT_I8 20
#define VT_UI8 21

#define KSPROPERTY_MEMBER_RANGES 0x00000001
#define KSPROPERTY_MEMBER_STEPPEDRANGES 0x00000002
#define KSPROPERTY_MEMBER_VALUES 0x00000003

#define KSPROPERTY_MEMBER_FLAG_DEFAULT 0x00000001
#define KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_MULTICHANNEL 0x00000002
#define KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_UNIFORM 0x00000004

// Answer to a KSPROPERTY_TYPE_BASICSUPPORT request; the member headers and
// members follow it in the caller's buffer when there is room.
typedef struct {
    ULONG AccessFlags;
    ULONG DescriptionSize;
    KSIDENTIFIER PropTypeSet;
    ULONG MembersListCount;
    ULONG Reserved;
} KSPROPERTY_DESCRIPTION, *PKSPROPERTY_DESCRIPTION;

typedef struct {
    ULONG MembersFlags;  // KSPROPERTY_MEMBER_*
    ULONG MembersSize;   // bytes of one member
    ULONG MembersCount;
    ULONG Flags;  // KSPROPERTY_MEMBER_FLAG_*
} KSPROPERTY_MEMBERSHEADER, *PKSPROPERTY_MEMBERSHEADER;

typedef union {
    struct {
        LONG SignedMinimum;
        LONG SignedMaximum;
    };
    struct {
        ULONG UnsignedMinimum;
        ULONG UnsignedMaximum;
    };
} KSPROPERTY_BOUNDS_LONG, *PKSPROPERTY_BOUNDS_LONG;

typedef union {
    struct {
        LONGLONG SignedMinimum;
        LONGLONG SignedMaximum;
    };
    struct {
        ULONGLONG UnsignedMinimum;
        ULONGLONG UnsignedMaximum;
    };
} KSPROPERTY_BOUNDS_LONGLONG, *PKSPROPERTY_BOUNDS_LONGLONG;

typedef struct {
    ULONG SteppingDelta;
    ULONG Reserved;
    KSPROPERTY_BOUNDS_LONG Bounds;
} KSPROPERTY_STEPPING_LONG, *PKSPROPERTY_STEPPING_LONG;

typedef struct {
    ULONGLONG SteppingDelta;
    KSPROPERTY_BOUNDS_LONGLONG Bounds;
} KSPROPERTY_STEPPING_LONGLONG, *PKSPROPERTY_STEPPING_LONGLONG;

typedef struct {
    KSPROPERTY_MEMBERSHEADER MembersHeader;
    const VOID* Members;
} KSPROPERTY_MEMBERSLIST, *PKSPROPERTY_MEMBERSLIST;

typedef struct {
    KSIDENTIFIER PropTypeSet;  // KSPROPTYPESETID_General, Id = VT_*, Flags 0
    ULONG MembersListCount;
    const KSPROPERTY_MEMBERSLIST* MembersList;
} KSPROPERTY_VALUES, *PKSPROPERTY_VALUES;

// --------------------------------------------- property/method/event sets ---

struct _IRP;
struct _FILE_OBJECT;
struct _IO_STATUS_BLOCK;

typedef NTSTATUS(NTAPI* PFNKSHANDLER)(struct _IRP* Irp, PKSIDENTIFIER Request, PVOID Data);
typedef BOOLEAN(NTAPI* PFNKSFASTHANDLER)(struct _FILE_OBJECT* FileObject, PKSIDENTIFIER Request,
                                         ULONG RequestLength, PVOID Data, ULONG DataLength,
                                         struct _IO_STATUS_BLOCK* IoStatus);

// A stream-class minidriver never installs handlers here: it stores TRUE or
// FALSE in the first byte of each handler slot (GetSupported / SetSupported),
// and the stream class uses MinProperty, MinData and Values to check and
// answer requests before it hands accepted ones to the minidriver. Initialise
// a constant table through the BOOLEAN members, e.g. with designators:
//     { .PropertyId = 3, .GetSupported = TRUE, .MinProperty = 40, ... }
typedef struct {
    ULONG PropertyId;
    union {
        PFNKSHANDLER GetPropertyHandler;
        BOOLEAN GetSupported;
    };
    ULONG MinProperty;  // smallest property buffer (the KSPROPERTY-based request)
    ULONG MinData;      // smallest data buffer
    union {
        PFNKSHANDLER SetPropertyHandler;
        BOOLEAN SetSupported;
    };
    const KSPROPERTY_VALUES* Values;
    ULONG RelationsCount;
    const KSPROPERTY* Relations;
    PFNKSHANDLER SupportHandler;
    ULONG SerializedSize;
} KSPROPERTY_ITEM, *PKSPROPERTY_ITEM;

typedef struct {
    ULONG PropertyId;
    union {
        PFNKSFASTHANDLER GetPropertyHandler;
        BOOLEAN GetSupported;
    };
    union {
        PFNKSFASTHANDLER SetPropertyHandler;
        BOOLEAN SetSupported;
    };
    ULONG Reserved;
} KSFASTPROPERTY_ITEM, *PKSFASTPROPERTY_ITEM;

typedef struct {
    const GUID* Set;
    ULONG PropertiesCount;
    const KSPROPERTY_ITEM* PropertyItem;
    ULONG FastIoCount;
    const KSFASTPROPERTY_ITEM* FastIoTable;
} KSPROPERTY_SET, *PKSPROPERTY_SET;

typedef struct {
    ULONG MethodId;
    union {
        PFNKSHANDLER MethodHandler;
        BOOLEAN MethodSupported;
    };
    ULONG MinMethod;
    ULONG MinData;
    PFNKSHANDLER SupportHandler;
    ULONG Flags;
} KSMETHOD_ITEM, *PKSMETHOD_ITEM;

typedef struct {
    ULONG MethodId;
    union {
        PFNKSFASTHANDLER MethodHandler;
        BOOLEAN MethodSupported;
    };
} KSFASTMETHOD_ITEM, *PKSFASTMETHOD_ITEM;

typedef struct {
    const GUID* Set;
    ULONG MethodsCount;
    const KSMETHOD_ITEM* MethodItem;
    ULONG FastIoCount;
    const KSFASTMETHOD_ITEM* FastIoTable;
} KSMETHOD_SET, *PKSMETHOD_SET;

// Event entries and event data belong to the stream class; the minidriver
// only passes pointers to them along.
typedef struct _KSEVENT_ENTRY KSEVENT_ENTRY, *PKSEVENT_ENTRY;
typedef struct _KSEVENTDATA KSEVENTDATA, *PKSEVENTDATA;

typedef NTSTATUS(NTAPI* PFNKSADDEVENT)(struct _IRP* Irp, PKSEVENTDATA EventData,
                                       PKSEVENT_ENTRY EventEntry);
typedef VOID(NTAPI* PFNKSREMOVEEVENT)(struct _FILE_OBJECT* FileObject, PKSEVENT_ENTRY EventEntry);

typedef struct {
    ULONG EventId;
    ULONG DataInput;
    ULONG ExtraEntryData;
    PFNKSADDEVENT AddHandler;
    PFNKSREMOVEEVENT RemoveHandler;
    PFNKSHANDLER SupportHandler;
} KSEVENT_ITEM, *PKSEVENT_ITEM;

typedef struct {
    const GUID* Set;
    ULONG EventsCount;
    const KSEVENT_ITEM* EventItem;
} KSEVENT_SET, *PKSEVENT_SET;

typedef struct {
    ULONG FromNode;
    ULONG FromNodePin;
    ULONG ToNode;
    ULONG ToNodePin;
} KSTOPOLOGY_CONNECTION, *PKSTOPOLOGY_CONNECTION;

typedef struct {
    ULONG CategoriesCount;
    const GUID* Categories;
    ULONG TopologyNodesCount;
    const GUID* TopologyNodes;
    ULONG TopologyConnectionsCount;
    const KSTOPOLOGY_CONNECTION* TopologyConnections;
    const GUID* TopologyNodesNames;
    ULONG Reserved;
} KSTOPOLOGY, *PKSTOPOLOGY;

// ------------------------------------------------------------ data formats ---

#define KSDATAFORMAT_TEMPORAL_COMPRESSION 0x00000001
#define KSDATAFORMAT_ATTRIBUTES 0x00000002
#define KSDATARANGE_ATTRIBUTES 0x00000002
#define KSDATARANGE_REQUIRED_ATTRIBUTES 0x00000004

// Header of every format and range. FormatSize covers the whole record,
// including the specifier-specific part that follows.
typedef union {
    struct {
        ULONG FormatSize;
        ULONG Flags;
        ULONG SampleSize;
        ULONG Reserved;
        GUID MajorFormat;
        GUID SubFormat;
        GUID Specifier;
    };
    LONGLONG Alignment;
} KSDATAFORMAT, *PKSDATAFORMAT, KSDATARANGE, *PKSDATARANGE;

// --------------------------------------------------- connection properties ---

typedef enum {
    KSPROPERTY_CONNECTION_STATE = 0,
    KSPROPERTY_CONNECTION_PRIORITY = 1,
    KSPROPERTY_CONNECTION_DATAFORMAT = 2,
    KSPROPERTY_CONNECTION_ALLOCATORFRAMING = 3,
    KSPROPERTY_CONNECTION_PROPOSEDATAFORMAT = 4,
    KSPROPERTY_CONNECTION_ACQUIREORDERING = 5,
    KSPROPERTY_CONNECTION_ALLOCATORFRAMING_EX = 6,
    KSPROPERTY_CONNECTION_STARTAT = 7,
} KSPROPERTY_CONNECTION;

typedef enum {
    KSPROPERTY_GENERAL_COMPONENTID = 0,
} KSPROPERTY_GENERAL;

#define KSALLOCATOR_REQUIREMENTF_INPLACE_MODIFIER 0x00000001
#define KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY 0x00000002
#define KSALLOCATOR_REQUIREMENTF_FRAME_INTEGRITY 0x00000004
#define KSALLOCATOR_REQUIREMENTF_MUST_ALLOCATE 0x00000008
#define KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY 0x80000000
#define KSALLOCATOR_OPTIONF_COMPATIBLE 0x00000001
#define KSALLOCATOR_OPTIONF_SYSTEM_MEMORY 0x00000002
#define KSALLOCATOR_FLAG_PARTIAL_READ_SUPPORT 0x00000010

// Answer to KSPROPERTY_CONNECTION_ALLOCATORFRAMING.
typedef struct {
    union {
        ULONG OptionsFlags;
        ULONG RequirementsFlags;
    };
    POOL_TYPE PoolType;
    ULONG Frames;
    ULONG FrameSize;
    ULONG FileAlignment;
    ULONG Reserved;
} KSALLOCATOR_FRAMING, *PKSALLOCATOR_FRAMING;

// ---------------------------------------------------------- stream headers ---

typedef struct {
    LONGLONG Time;
    ULONG Numerator;
    ULONG Denominator;
} KSTIME, *PKSTIME;

#define KSSTREAM_HEADER_OPTIONSF_SPLICEPOINT 0x00000001
#define KSSTREAM_HEADER_OPTIONSF_PREROLL 0x00000002
#define KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY 0x00000004
#define KSSTREAM_HEADER_OPTIONSF_TYPECHANGED 0x00000008
#define KSSTREAM_HEADER_OPTIONSF_TIMEVALID 0x00000010
#define KSSTREAM_HEADER_OPTIONSF_TIMEDISCONTINUITY 0x00000040
#define KSSTREAM_HEADER_OPTIONSF_FLUSHONPAUSE 0x00000080
#define KSSTREAM_HEADER_OPTIONSF_DURATIONVALID 0x00000100
#define KSSTREAM_HEADER_OPTIONSF_ENDOFSTREAM 0x00000200

// One buffer of a read or write request. For video capture each header is
// followed by a KS_FRAME_INFO extension (ksmedia.h).
typedef struct {
    ULONG Size;  // of this header including its extension
    ULONG TypeSpecificFlags;
    KSTIME PresentationTime;
    LONGLONG Duration;
    ULONG FrameExtent;  // bytes available at Data
    ULONG DataUsed;     // bytes filled
    PVOID Data;
    ULONG OptionsFlags;
#if UINTPTR_MAX > 0xFFFFFFFFu
    ULONG Reserved;  // 64-bit targets only
#endif
} KSSTREAM_HEADER, *PKSSTREAM_HEADER;

// ------------------------------------------------------------------- GUIDs ---
// Constant-initialised objects: no constructor runs for them, so they may be
// used in constant tables of kernel code.

inline constexpr GUID GUID_NULL = DEFINE_GUID_VALUE(0x00000000, 0x0000, 0x0000, 0, 0, 0, 0, 0, 0, 0, 0);

// {97E99BA0-BDEA-11CF-A5D6-28DB04C10000}
inline constexpr GUID KSPROPTYPESETID_General =
    DEFINE_GUID_VALUE(0x97E99BA0, 0xBDEA, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00);
// {1464EDA5-6A8F-11D1-9AA7-00A0C9223196}
inline constexpr GUID KSPROPSETID_General =
    DEFINE_GUID_VALUE(0x1464EDA5, 0x6A8F, 0x11D1, 0x9A, 0xA7, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
// {1D58C920-AC9B-11CF-A5D6-28DB04C10000}
inline constexpr GUID KSPROPSETID_Connection =
    DEFINE_GUID_VALUE(0x1D58C920, 0xAC9B, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00);
// {4747B320-62CE-11CF-A5D6-28DB04C10000}
inline constexpr GUID KSMEDIUMSETID_Standard =
    DEFINE_GUID_VALUE(0x4747B320, 0x62CE, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00);
// {65E8773D-8F56-11D0-A3B9-00A0C9223196}
inline constexpr GUID KSCATEGORY_CAPTURE =
    DEFINE_GUID_VALUE(0x65E8773D, 0x8F56, 0x11D0, 0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
// {0F6417D6-C318-11D0-A43F-00A0C9223196}
inline constexpr GUID KSDATAFORMAT_SPECIFIER_NONE =
    DEFINE_GUID_VALUE(0x0F6417D6, 0xC318, 0x11D0, 0xA4, 0x3F, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);

inline constexpr GUID KSDATAFORMAT_TYPE_WILDCARD = GUID_NULL;
inline constexpr GUID KSDATAFORMAT_SUBTYPE_WILDCARD = GUID_NULL;
inline constexpr GUID KSDATAFORMAT_SPECIFIER_WILDCARD = GUID_NULL;

// --------------------------------------------------------- layout checks ---

static_assert(sizeof(KSIDENTIFIER) == 24 && alignof(KSIDENTIFIER) == 8, "KSIDENTIFIER");
static_assert(sizeof(KSDATAFORMAT) == 64 && alignof(KSDATAFORMAT) == 8, "KSDATAFORMAT");
static_assert(offsetof(KSDATAFORMAT, MajorFormat) == 16 && offsetof(KSDATAFORMAT, Specifier) == 48,
              "KSDATAFORMAT GUIDs");
static_assert(sizeof(KSMULTIPLE_ITEM) == 8, "KSMULTIPLE_ITEM");
static_assert(sizeof(KSPROPERTY_DESCRIPTION) == 40, "KSPROPERTY_DESCRIPTION");
static_assert(sizeof(KSPROPERTY_MEMBERSHEADER) == 16, "KSPROPERTY_MEMBERSHEADER");
static_assert(sizeof(KSPROPERTY_BOUNDS_LONG) == 8, "KSPROPERTY_BOUNDS_LONG");
static_assert(sizeof(KSPROPERTY_STEPPING_LONG) == 16, "KSPROPERTY_STEPPING_LONG");
static_assert(sizeof(KSALLOCATOR_FRAMING) == 24, "KSALLOCATOR_FRAMING");
static_assert(sizeof(KSTIME) == 16, "KSTIME");

// Records that carry pointers: the 64-bit mirror sizes (pointers 8 bytes,
// ULONG 4). The i386 sizes are checked by the i386 layout check.
#if UINTPTR_MAX > 0xFFFFFFFFu
static_assert(sizeof(KSPROPERTY_ITEM) == 72, "KSPROPERTY_ITEM (64-bit)");
static_assert(sizeof(KSPROPERTY_SET) == 40, "KSPROPERTY_SET (64-bit)");
static_assert(sizeof(KSPROPERTY_VALUES) == 40, "KSPROPERTY_VALUES (64-bit)");
static_assert(sizeof(KSPROPERTY_MEMBERSLIST) == 24, "KSPROPERTY_MEMBERSLIST (64-bit)");
static_assert(sizeof(KSSTREAM_HEADER) == 56, "KSSTREAM_HEADER (64-bit)");
#endif
