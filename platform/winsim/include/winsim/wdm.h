// The kernel-mode subset that drivers are written against: driver and device objects, IRPs with
// their stack locations, the I/O manager's calls, events, pool memory and counted strings.
// Layouts follow the 64-bit kernel headers in field order and meaning; code uses sizeof and the
// accessors below, never fixed offsets. A driver includes this header alone.
//
// What the I/O manager guarantees here, as Windows does:
// * IoCallDriver moves the IRP to the next stack location and calls the target's dispatch routine
//   for the location's major function; the target owns the IRP until it completes it or passes
//   it on.
// * IoCompleteRequest runs the completion routines from the lowest location upwards, each with
//   the device object of the location above it; STATUS_MORE_PROCESSING_REQUIRED stops the walk
//   and leaves the IRP to the routine that returned it.
// * An IRP from IoBuildDeviceIoControlRequest is the I/O manager's: once completed, its status
//   lands in the caller's IO_STATUS_BLOCK, buffered output is copied back, its event is set and
//   the IRP is freed. An IRP from IoAllocateIrp is its allocator's, freed with IoFreeIrp.
// * A device object stays valid while an IRP that went through it is alive, even after
//   IoDeleteDevice; its memory goes when the last such IRP is freed.
// * Waits (KeWaitForSingleObject) run on the lab clock, like every wait of the simulated PC.
#pragma once
#include <winsim/winioctl.h>

#include <string.h>

#ifdef __cplusplus
#define WDM_EXTERN_C extern "C"
#else
#define WDM_EXTERN_C
#endif
#define NTKERNELAPI WDM_EXTERN_C __attribute__((visibility("default")))
#define NTSYSAPI NTKERNELAPI
#define FORCEINLINE static inline
#define DRIVER_ENTRY_EXPORT WDM_EXTERN_C __attribute__((visibility("default")))

typedef LONG NTSTATUS;
typedef NTSTATUS* PNTSTATUS;
typedef int16_t CSHORT;
typedef char CCHAR;
typedef char* PCHAR;
typedef CCHAR KPROCESSOR_MODE;
typedef UCHAR KIRQL;
typedef LONG KPRIORITY;

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_INFORMATION(Status) ((((ULONG)(Status)) >> 30) == 1)
#define NT_WARNING(Status) ((((ULONG)(Status)) >> 30) == 2)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)

// ---- status codes (the ones in use; each maps to the Win32 error Windows gives for it) -------
#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_WAIT_0 ((NTSTATUS)0x00000000L)
#define STATUS_TIMEOUT ((NTSTATUS)0x00000102L)
#define STATUS_PENDING ((NTSTATUS)0x00000103L)
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005L)
#define STATUS_DEVICE_BUSY ((NTSTATUS)0x80000011L)
#define STATUS_NO_MORE_ENTRIES ((NTSTATUS)0x8000001AL)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002L)
#define STATUS_INFO_LENGTH_MISMATCH ((NTSTATUS)0xC0000004L)
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008L)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define STATUS_NO_SUCH_DEVICE ((NTSTATUS)0xC000000EL)
#define STATUS_NO_SUCH_FILE ((NTSTATUS)0xC000000FL)
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010L)
#define STATUS_NO_MEDIA_IN_DEVICE ((NTSTATUS)0xC0000013L)
#define STATUS_MORE_PROCESSING_REQUIRED ((NTSTATUS)0xC0000016L)
#define STATUS_NO_MEMORY ((NTSTATUS)0xC0000017L)
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022L)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_NAME_INVALID ((NTSTATUS)0xC0000033L)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#define STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035L)
#define STATUS_DATA_ERROR ((NTSTATUS)0xC000003EL)
#define STATUS_DELETE_PENDING ((NTSTATUS)0xC0000056L)
#define STATUS_REVISION_MISMATCH ((NTSTATUS)0xC0000059L)
#define STATUS_PROCEDURE_NOT_FOUND ((NTSTATUS)0xC000007AL)
#define STATUS_INVALID_IMAGE_FORMAT ((NTSTATUS)0xC000007BL)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009AL)
#define STATUS_DEVICE_NOT_CONNECTED ((NTSTATUS)0xC000009DL)
#define STATUS_MEDIA_WRITE_PROTECTED ((NTSTATUS)0xC00000A2L)
#define STATUS_DEVICE_NOT_READY ((NTSTATUS)0xC00000A3L)
#define STATUS_IO_TIMEOUT ((NTSTATUS)0xC00000B5L)
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BBL)
#define STATUS_DEVICE_DOES_NOT_EXIST ((NTSTATUS)0xC00000C0L)
#define STATUS_CANCELLED ((NTSTATUS)0xC0000120L)
#define STATUS_INVALID_DEVICE_STATE ((NTSTATUS)0xC0000184L)
#define STATUS_IO_DEVICE_ERROR ((NTSTATUS)0xC0000185L)
#define STATUS_INVALID_BUFFER_SIZE ((NTSTATUS)0xC0000206L)
#define STATUS_DEVICE_REMOVED ((NTSTATUS)0xC00002B6L)

// ---- counted strings ----------------------------------------------------------------------------
typedef struct _UNICODE_STRING {
    USHORT Length;         // bytes, without a terminator
    USHORT MaximumLength;  // bytes of Buffer
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} STRING, ANSI_STRING, *PANSI_STRING;
typedef const ANSI_STRING* PCANSI_STRING;

// Memory copies as the kernel's run-time library names them.
#define RtlCopyMemory(Destination, Source, Length) memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) memmove((Destination), (Source), (Length))
#define RtlZeroMemory(Destination, Length) memset((Destination), 0, (Length))
NTSYSAPI VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
NTSYSAPI VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString);
// With AllocateDestinationString the buffer comes from the pool (free it with
// RtlFreeUnicodeString); otherwise the destination's own buffer is used and must be large enough.
NTSYSAPI NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                               BOOLEAN AllocateDestinationString);
NTSYSAPI VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
// The Win32 error Windows reports for a status (ERROR_MR_MID_NOT_FOUND for one it does not know).
NTSYSAPI ULONG RtlNtStatusToDosError(NTSTATUS Status);

// ---- pool memory --------------------------------------------------------------------------------
typedef enum _POOL_TYPE { NonPagedPool = 0, PagedPool = 1, NonPagedPoolNx = 512 } POOL_TYPE;
NTKERNELAPI PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
NTKERNELAPI VOID ExFreePool(PVOID P);
NTKERNELAPI VOID ExFreePoolWithTag(PVOID P, ULONG Tag);

// ---- events and waits ---------------------------------------------------------------------------
typedef enum _EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 } EVENT_TYPE;
typedef enum _KWAIT_REASON { Executive = 0, UserRequest = 6 } KWAIT_REASON;

typedef struct _DISPATCHER_HEADER {
    UCHAR Type;  // the EVENT_TYPE
    UCHAR Reserved[3];
    LONG SignalState;
} DISPATCHER_HEADER;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

#define IO_NO_INCREMENT 0
#define EVENT_INCREMENT 1

NTKERNELAPI VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
// Answers the previous state.
NTKERNELAPI LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
NTKERNELAPI VOID KeClearEvent(PRKEVENT Event);
NTKERNELAPI LONG KeReadStateEvent(PRKEVENT Event);
// Object is a KEVENT. Timeout null waits forever; a negative value is a relative time in 100 ns
// units of the lab clock; a positive (absolute) time is refused with STATUS_INVALID_PARAMETER.
// Answers STATUS_SUCCESS or STATUS_TIMEOUT.
NTKERNELAPI NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                           BOOLEAN Alertable, PLARGE_INTEGER Timeout);
#define KernelMode 0
#define UserMode 1

// ---- objects of the I/O manager -----------------------------------------------------------------
struct _DEVICE_OBJECT;
struct _DRIVER_OBJECT;
struct _IRP;
struct _FILE_OBJECT;

typedef NTSTATUS DRIVER_DISPATCH(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp);
typedef DRIVER_DISPATCH* PDRIVER_DISPATCH;
typedef NTSTATUS DRIVER_ADD_DEVICE(struct _DRIVER_OBJECT* DriverObject, struct _DEVICE_OBJECT* PhysicalDeviceObject);
typedef DRIVER_ADD_DEVICE* PDRIVER_ADD_DEVICE;
typedef VOID DRIVER_UNLOAD(struct _DRIVER_OBJECT* DriverObject);
typedef DRIVER_UNLOAD* PDRIVER_UNLOAD;
typedef NTSTATUS DRIVER_INITIALIZE(struct _DRIVER_OBJECT* DriverObject, PUNICODE_STRING RegistryPath);
typedef DRIVER_INITIALIZE* PDRIVER_INITIALIZE;
typedef NTSTATUS IO_COMPLETION_ROUTINE(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp, PVOID Context);
typedef IO_COMPLETION_ROUTINE* PIO_COMPLETION_ROUTINE;

#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_READ 0x03
#define IRP_MJ_WRITE 0x04
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0f
#define IRP_MJ_SHUTDOWN 0x10
#define IRP_MJ_CLEANUP 0x12
#define IRP_MJ_POWER 0x16
#define IRP_MJ_SYSTEM_CONTROL 0x17
#define IRP_MJ_PNP 0x1b
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

#define IRP_MN_START_DEVICE 0x00
#define IRP_MN_QUERY_REMOVE_DEVICE 0x01
#define IRP_MN_REMOVE_DEVICE 0x02
#define IRP_MN_CANCEL_REMOVE_DEVICE 0x03
#define IRP_MN_STOP_DEVICE 0x04
#define IRP_MN_QUERY_STOP_DEVICE 0x05
#define IRP_MN_CANCEL_STOP_DEVICE 0x06
#define IRP_MN_QUERY_DEVICE_RELATIONS 0x07
#define IRP_MN_QUERY_CAPABILITIES 0x09
#define IRP_MN_QUERY_ID 0x13
#define IRP_MN_QUERY_PNP_DEVICE_STATE 0x14
#define IRP_MN_SURPRISE_REMOVAL 0x17
// What IRP_MN_QUERY_PNP_DEVICE_STATE answers in Information.
#define PNP_DEVICE_DISABLED 0x00000001
#define PNP_DEVICE_FAILED 0x00000004
#define PNP_DEVICE_REMOVED 0x00000008

#define IRP_MN_WAIT_WAKE 0x00
#define IRP_MN_POWER_SEQUENCE 0x01
#define IRP_MN_SET_POWER 0x02
#define IRP_MN_QUERY_POWER 0x03

typedef struct _DRIVER_EXTENSION {
    struct _DRIVER_OBJECT* DriverObject;
    PDRIVER_ADD_DEVICE AddDevice;
    ULONG Count;
    UNICODE_STRING ServiceKeyName;
} DRIVER_EXTENSION, *PDRIVER_EXTENSION;

typedef struct _DRIVER_OBJECT {
    CSHORT Type;
    CSHORT Size;
    struct _DEVICE_OBJECT* DeviceObject;  // the driver's devices, newest first
    ULONG Flags;
    PVOID DriverStart;
    ULONG DriverSize;
    PVOID DriverSection;
    PDRIVER_EXTENSION DriverExtension;
    UNICODE_STRING DriverName;
    PUNICODE_STRING HardwareDatabase;
    PVOID FastIoDispatch;
    PDRIVER_INITIALIZE DriverInit;
    PVOID DriverStartIo;
    PDRIVER_UNLOAD DriverUnload;
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
} DRIVER_OBJECT, *PDRIVER_OBJECT;

// Flags of a device object.
#define DO_BUFFERED_IO 0x00000004
#define DO_EXCLUSIVE 0x00000008
#define DO_DIRECT_IO 0x00000010
#define DO_DEVICE_INITIALIZING 0x00000080
#define DO_POWER_PAGABLE 0x00002000
// Characteristics.
#define FILE_REMOVABLE_MEDIA 0x00000001
#define FILE_DEVICE_SECURE_OPEN 0x00000100
#ifndef FILE_DEVICE_BUS_EXTENDER
#define FILE_DEVICE_BUS_EXTENDER 0x0000002a
#endif

typedef struct _DEVICE_OBJECT {
    CSHORT Type;
    USHORT Size;
    LONG ReferenceCount;
    struct _DRIVER_OBJECT* DriverObject;
    struct _DEVICE_OBJECT* NextDevice;      // next device of the same driver
    struct _DEVICE_OBJECT* AttachedDevice;  // the device attached on top of this one
    struct _IRP* CurrentIrp;
    PVOID Timer;
    ULONG Flags;
    ULONG Characteristics;
    PVOID Vpb;
    PVOID DeviceExtension;
    DEVICE_TYPE DeviceType;
    CCHAR StackSize;  // the stack locations an IRP for this device needs
    ULONG AlignmentRequirement;
    PVOID DeviceObjectExtension;  // the I/O manager's own bookkeeping
} DEVICE_OBJECT, *PDEVICE_OBJECT;

typedef struct _FILE_OBJECT {
    CSHORT Type;
    CSHORT Size;
    PDEVICE_OBJECT DeviceObject;
    PVOID Vpb;
    PVOID FsContext;   // the driver's, per open
    PVOID FsContext2;  // the driver's, per open
    UNICODE_STRING FileName;
    ULONG Flags;
} FILE_OBJECT, *PFILE_OBJECT;

typedef struct _IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

// A memory descriptor: here only the system address of a caller's buffer (direct I/O).
typedef struct _MDL {
    struct _MDL* Next;
    CSHORT Size;
    CSHORT MdlFlags;
    PVOID MappedSystemVa;
    PVOID StartVa;
    ULONG ByteCount;
    ULONG ByteOffset;
} MDL, *PMDL;
typedef enum _MM_PAGE_PRIORITY { LowPagePriority = 0, NormalPagePriority = 16, HighPagePriority = 32 } MM_PAGE_PRIORITY;
FORCEINLINE PVOID MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG Priority) {
    (void)Priority;
    return Mdl ? Mdl->MappedSystemVa : (PVOID)0;
}

typedef enum _DEVICE_RELATION_TYPE { BusRelations = 0, EjectionRelations, PowerRelations, RemovalRelations, TargetDeviceRelation } DEVICE_RELATION_TYPE;
typedef struct _DEVICE_RELATIONS {
    ULONG Count;
    struct _DEVICE_OBJECT* Objects[1];
} DEVICE_RELATIONS, *PDEVICE_RELATIONS;
typedef enum _SYSTEM_POWER_STATE { PowerSystemUnspecified = 0, PowerSystemWorking, PowerSystemSleeping1, PowerSystemShutdown = 6 } SYSTEM_POWER_STATE;
typedef enum _DEVICE_POWER_STATE { PowerDeviceUnspecified = 0, PowerDeviceD0, PowerDeviceD1, PowerDeviceD2, PowerDeviceD3 } DEVICE_POWER_STATE;
typedef union _POWER_STATE {
    SYSTEM_POWER_STATE SystemState;
    DEVICE_POWER_STATE DeviceState;
} POWER_STATE;
typedef enum _POWER_STATE_TYPE { SystemPowerState = 0, DevicePowerState } POWER_STATE_TYPE;

// What IRP_MN_QUERY_CAPABILITIES fills in on its way up: the bus driver first, then each driver
// above it may add what it knows (a function driver marks its device safe to pull out).
typedef struct _DEVICE_CAPABILITIES {
    USHORT Size;
    USHORT Version;
    ULONG DeviceD1 : 1;
    ULONG DeviceD2 : 1;
    ULONG LockSupported : 1;
    ULONG EjectSupported : 1;
    ULONG Removable : 1;
    ULONG DockDevice : 1;
    ULONG UniqueID : 1;
    ULONG SilentInstall : 1;
    ULONG RawDeviceOK : 1;
    ULONG SurpriseRemovalOK : 1;
    ULONG WakeFromD0 : 1;
    ULONG WakeFromD1 : 1;
    ULONG WakeFromD2 : 1;
    ULONG WakeFromD3 : 1;
    ULONG HardwareDisabled : 1;
    ULONG NonDynamic : 1;
    ULONG WarmEjectSupported : 1;
    ULONG NoDisplayInUI : 1;
    ULONG Reserved : 14;
    ULONG Address;
    ULONG UINumber;
    DEVICE_POWER_STATE DeviceState[7];
    SYSTEM_POWER_STATE SystemWake;
    DEVICE_POWER_STATE DeviceWake;
    ULONG D1Latency;
    ULONG D2Latency;
    ULONG D3Latency;
} DEVICE_CAPABILITIES, *PDEVICE_CAPABILITIES;

// Control bits of a stack location.
#define SL_PENDING_RETURNED 0x01
#define SL_INVOKE_ON_CANCEL 0x20
#define SL_INVOKE_ON_SUCCESS 0x40
#define SL_INVOKE_ON_ERROR 0x80

typedef struct _IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    union {
        struct {
            PVOID SecurityContext;
            ULONG Options;
            USHORT FileAttributes;
            USHORT ShareAccess;
            ULONG EaLength;
        } Create;
        struct {
            ULONG Length;
            ULONG Key;
            LARGE_INTEGER ByteOffset;
        } Read;
        struct {
            ULONG Length;
            ULONG Key;
            LARGE_INTEGER ByteOffset;
        } Write;
        struct {
            ULONG OutputBufferLength;
            ULONG InputBufferLength;
            ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            DEVICE_RELATION_TYPE Type;
        } QueryDeviceRelations;
        struct {
            PDEVICE_CAPABILITIES Capabilities;
        } DeviceCapabilities;
        struct {
            ULONG SystemContext;
            POWER_STATE_TYPE Type;
            POWER_STATE State;
            ULONG ShutdownType;
        } Power;
        struct {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
    } Parameters;
    PDEVICE_OBJECT DeviceObject;
    PFILE_OBJECT FileObject;
    PIO_COMPLETION_ROUTINE CompletionRoutine;
    PVOID Context;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;

typedef struct _IRP {
    CSHORT Type;
    USHORT Size;
    PMDL MdlAddress;
    ULONG Flags;
    union {
        struct _IRP* MasterIrp;
        LONG IrpCount;
        PVOID SystemBuffer;
    } AssociatedIrp;
    IO_STATUS_BLOCK IoStatus;
    KPROCESSOR_MODE RequestorMode;
    BOOLEAN PendingReturned;
    CHAR StackCount;
    CHAR CurrentLocation;  // StackCount + 1 before the first IoCallDriver, 1 at the bottom
    BOOLEAN Cancel;
    PIO_STATUS_BLOCK UserIosb;
    PKEVENT UserEvent;
    PVOID UserBuffer;
    struct {
        struct {
            PVOID DriverContext[4];
            PVOID Thread;
            PIO_STACK_LOCATION CurrentStackLocation;
        } Overlay;
    } Tail;
    // The stack locations follow the IRP in memory.
} IRP, *PIRP;

FORCEINLINE PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp) { return Irp->Tail.Overlay.CurrentStackLocation; }
FORCEINLINE PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp) { return Irp->Tail.Overlay.CurrentStackLocation - 1; }
FORCEINLINE VOID IoSkipCurrentIrpStackLocation(PIRP Irp) {
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
}
// The next location gets this one's parameters, without its completion routine.
FORCEINLINE VOID IoCopyCurrentIrpStackLocationToNext(PIRP Irp) {
    PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(Irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    *next = *current;
    next->CompletionRoutine = 0;
    next->Context = 0;
    next->Control = 0;
}
FORCEINLINE VOID IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context,
                                        BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->CompletionRoutine = CompletionRoutine;
    next->Context = Context;
    next->Control = 0;
    if (InvokeOnSuccess) next->Control |= SL_INVOKE_ON_SUCCESS;
    if (InvokeOnError) next->Control |= SL_INVOKE_ON_ERROR;
    if (InvokeOnCancel) next->Control |= SL_INVOKE_ON_CANCEL;
}
FORCEINLINE VOID IoMarkIrpPending(PIRP Irp) { IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED; }

NTKERNELAPI NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                                    DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                    PDEVICE_OBJECT* DeviceObject);
NTKERNELAPI VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject);
// A device object by its name ("\Device\USBPDO-3", "\DosDevices\E:"), opened as a user-mode open
// would be: the top of its stack and a file object that holds it (ObDereferenceObject closes it).
typedef ULONG ACCESS_MASK;
#ifndef FILE_ALL_ACCESS
#define FILE_ALL_ACCESS 0x001F01FF
#endif
NTKERNELAPI NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess,
                                              PFILE_OBJECT* FileObject, PDEVICE_OBJECT* DeviceObject);
typedef enum _DEVICE_REGISTRY_PROPERTY {
    DevicePropertyDeviceDescription = 0,
    DevicePropertyHardwareID = 1,
    DevicePropertyCompatibleIDs = 2,
    DevicePropertyClassName = 5,
    DevicePropertyClassGuid = 6,
    DevicePropertyDriverKeyName = 7,
    DevicePropertyManufacturer = 8,
    DevicePropertyFriendlyName = 9,
    DevicePropertyLocationInformation = 10,
    DevicePropertyPhysicalDeviceObjectName = 11,
    DevicePropertyEnumeratorName = 15,
    DevicePropertyAddress = 16
} DEVICE_REGISTRY_PROPERTY;
// A property of a PDO's device node: text as UTF-16 with its terminator (a list ends with two),
// numbers as ULONG. STATUS_BUFFER_TOO_SMALL with *ResultLength set when the buffer is short.
NTKERNELAPI NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                         ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength);
// Asks the PnP manager to query the device's state again (IRP_MN_QUERY_PNP_DEVICE_STATE) soon.
NTKERNELAPI VOID IoInvalidateDeviceState(PDEVICE_OBJECT PhysicalDeviceObject);
// Work items: a routine run on a system thread, the device kept until it has run.
typedef struct _IO_WORKITEM* PIO_WORKITEM;
typedef VOID (*PIO_WORKITEM_ROUTINE)(PDEVICE_OBJECT DeviceObject, PVOID Context);
typedef enum _WORK_QUEUE_TYPE { CriticalWorkQueue = 0, DelayedWorkQueue = 1, HyperCriticalWorkQueue = 2 } WORK_QUEUE_TYPE;
NTKERNELAPI PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject);
NTKERNELAPI VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                                 PVOID Context);
NTKERNELAPI VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem);
// Object references; device objects are the objects kernel-mode code references here.
NTKERNELAPI VOID ObReferenceObject(PVOID Object);
NTKERNELAPI VOID ObDereferenceObject(PVOID Object);
// "\DosDevices\NAME" (or "\??\NAME") makes the device reachable from user mode as "\\.\NAME".
NTKERNELAPI NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName);
NTKERNELAPI NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName);
// Attaches on top of the stack that TargetDevice belongs to; answers the device it attached to.
NTKERNELAPI PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice);
NTKERNELAPI VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice);
NTKERNELAPI PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject);
NTKERNELAPI NTSTATUS IoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTKERNELAPI VOID IoCompleteRequest(PIRP Irp, CCHAR PriorityBoost);
NTKERNELAPI PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota);
NTKERNELAPI VOID IoFreeIrp(PIRP Irp);
// A device control IRP for DeviceObject (internal with InternalDeviceIoControl), with its system
// buffer for METHOD_BUFFERED codes; null when no memory is left.
NTKERNELAPI PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                               ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                               BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                               PIO_STATUS_BLOCK IoStatusBlock);

// ---- power ----------------------------------------------------------------------------------------
// Called once the power request of PoRequestPowerIrp has completed; the IRP is freed after it.
typedef VOID (*PREQUEST_POWER_COMPLETE)(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                        PVOID Context, PIO_STATUS_BLOCK IoStatus);
// Sends a device power request (IRP_MN_SET_POWER or IRP_MN_QUERY_POWER of a device power state)
// to the top of the stack DeviceObject belongs to. Answers STATUS_PENDING when the request went
// out (CompletionFunction is then called exactly once), STATUS_INVALID_PARAMETER or
// STATUS_INSUFFICIENT_RESOURCES when it did not. Irp, when given, receives the request.
NTKERNELAPI NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                       PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp);
// A driver that passes a power request down says it is ready for the next one first.
NTKERNELAPI VOID PoStartNextPowerIrp(PIRP Irp);
// Power requests go down with PoCallDriver, not IoCallDriver.
NTKERNELAPI NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
