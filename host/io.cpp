// Driver objects, device objects with their attachment chains, and IRPs.
//
// Device objects and IRPs are laid out as the I/O manager lays them out (the
// device extension follows the device object, the stack locations follow
// the IRP). A side table tells live objects from stale pointers, so a call
// with a deleted device or a completed IRP is recorded and never touches
// freed memory.
#include "host/kernel_internal.h"
#include "host/scheduler.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>

namespace kv::kernel {

namespace {

// Memory released with the alignment it was taken with, after poisoning.
struct RawBlock {
    void* address = nullptr;
    size_t bytes = 0;
    static constexpr std::align_val_t kAlignment{16};

    explicit RawBlock(size_t size) : address(::operator new(size, kAlignment)), bytes(size)
    {
        std::memset(address, 0, size);
    }
    RawBlock(const RawBlock&) = delete;
    RawBlock& operator=(const RawBlock&) = delete;
    ~RawBlock()
    {
        std::memset(address, 0xDD, bytes);
        ::operator delete(address, kAlignment);
    }
};

struct DriverInfo {
    DRIVER_OBJECT object{};
    DRIVER_EXTENSION extension{};
    std::u16string driverName;
    std::u16string serviceName;
    std::u16string registryPathText;
    UNICODE_STRING registryPath{};
};

struct DeviceInfo {
    std::unique_ptr<RawBlock> block;
    PDEVICE_OBJECT lower = nullptr;  // the device this one is attached to
    io::IrpHandler handler;
    bool physical = false;
    bool deletePending = false;
    std::string instanceId;
    std::u16string name;
    uint64_t serial = 0;
};

struct IrpInfo {
    std::unique_ptr<RawBlock> block;
    bool synchronous = false;
    uint64_t serial = 0;
};

struct IoState {
    std::unordered_map<PDRIVER_OBJECT, std::unique_ptr<DriverInfo>> drivers;
    std::unordered_map<PDEVICE_OBJECT, DeviceInfo> devices;
    std::unordered_map<PIRP, IrpInfo> irps;
    PDRIVER_OBJECT busDriver = nullptr;
    PDRIVER_OBJECT handlerDriver = nullptr;
    uint64_t deviceSerial = 0;
    uint64_t irpSerial = 0;
    ULONG autoNameCounter = 0;
};

std::recursive_mutex gMutex;
IoState gIo;

bool IsLiveDeviceLocked(PDEVICE_OBJECT device)
{
    auto it = gIo.devices.find(device);
    return it != gIo.devices.end() && !it->second.deletePending;
}

PDEVICE_OBJECT TopOf(PDEVICE_OBJECT device)
{
    while (device->AttachedDevice != nullptr) {
        device = device->AttachedDevice;
    }
    return device;
}

std::string DeviceText(PDEVICE_OBJECT device)
{
    auto it = gIo.devices.find(device);
    std::string text = "device " + detail::PointerText(device);
    if (it != gIo.devices.end()) {
        if (!it->second.instanceId.empty()) {
            text += " (" + it->second.instanceId + ")";
        } else if (!it->second.name.empty()) {
            text += " (" + ToUtf8(it->second.name) + ")";
        }
    }
    return text;
}

std::string IrpText(PIRP irp, const IrpInfo& info)
{
    std::string text = "IRP #" + std::to_string(info.serial) + " at " + detail::PointerText(irp);
    if (irp->CurrentLocation >= 1 && irp->CurrentLocation <= irp->StackCount) {
        auto* stack = irp->Tail.Overlay.CurrentStackLocation;
        text += " (major 0x" + detail::StatusText(stack->MajorFunction).substr(8) + ", minor 0x" +
                detail::StatusText(stack->MinorFunction).substr(8) + ")";
    }
    return text;
}

void FreeDeviceLocked(PDEVICE_OBJECT device)
{
    gIo.devices.erase(device);
}

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS NTAPI HandlerDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    io::IrpHandler handler;
    {
        std::lock_guard lock(gMutex);
        auto it = gIo.devices.find(DeviceObject);
        if (it != gIo.devices.end()) {
            handler = it->second.handler;
        }
    }
    if (handler) {
        return handler(DeviceObject, Irp);
    }
    return io::CompleteWithCurrentStatus(Irp);
}

PDRIVER_OBJECT CreateDriverLocked(std::string_view serviceName, PDRIVER_DISPATCH dispatch)
{
    auto info = std::make_unique<DriverInfo>();
    info->serviceName = ToUtf16(serviceName);
    info->driverName = u"\\Driver\\" + info->serviceName;
    info->registryPathText = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\" + info->serviceName;
    DRIVER_OBJECT& driver = info->object;
    driver.Type = IO_TYPE_DRIVER;
    driver.Size = sizeof(DRIVER_OBJECT);
    driver.DriverExtension = &info->extension;
    info->extension.DriverObject = &driver;
    info->extension.ServiceKeyName = UNICODE_STRING{static_cast<USHORT>(info->serviceName.size() * 2),
                                                    static_cast<USHORT>(info->serviceName.size() * 2),
                                                    info->serviceName.data()};
    driver.DriverName = UNICODE_STRING{static_cast<USHORT>(info->driverName.size() * 2),
                                       static_cast<USHORT>(info->driverName.size() * 2), info->driverName.data()};
    info->registryPath = UNICODE_STRING{static_cast<USHORT>(info->registryPathText.size() * 2),
                                        static_cast<USHORT>(info->registryPathText.size() * 2 + 2),
                                        info->registryPathText.data()};
    for (auto& slot : driver.MajorFunction) {
        slot = dispatch;
    }
    PDRIVER_OBJECT pointer = &driver;
    gIo.drivers[pointer] = std::move(info);
    return pointer;
}

PDEVICE_OBJECT CreateOwnDevice(PDRIVER_OBJECT driver, io::IrpHandler handler)
{
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, FILE_AUTOGENERATED_DEVICE_NAME, FALSE,
                                     &device);
    if (!NT_SUCCESS(status)) {
        return nullptr;
    }
    std::lock_guard lock(gMutex);
    gIo.devices[device].handler = std::move(handler);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return device;
}

}  // namespace

void detail::ResetIo()
{
    std::lock_guard lock(gMutex);
    gIo.irps.clear();
    gIo.devices.clear();
    gIo.drivers.clear();
    gIo = IoState{};
}

namespace io {

PDRIVER_OBJECT CreateDriver(std::string_view serviceName)
{
    PDRIVER_OBJECT driver;
    {
        std::lock_guard lock(gMutex);
        driver = CreateDriverLocked(serviceName, InvalidDeviceRequest);
    }
    registry::CreateKey("\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\" + std::string(serviceName));
    return driver;
}

PUNICODE_STRING DriverRegistryPath(PDRIVER_OBJECT driver)
{
    std::lock_guard lock(gMutex);
    auto it = gIo.drivers.find(driver);
    return it == gIo.drivers.end() ? nullptr : &it->second->registryPath;
}

PDEVICE_OBJECT CreatePhysicalDevice(std::string_view instanceId, IrpHandler handler)
{
    PDRIVER_OBJECT bus;
    {
        std::lock_guard lock(gMutex);
        if (gIo.busDriver == nullptr) {
            gIo.busDriver = CreateDriverLocked("KvBus", HandlerDispatch);
        }
        bus = gIo.busDriver;
        for (auto& [device, info] : gIo.devices) {
            if (info.physical && !info.deletePending && detail::EqualNoCase(ToUtf16(info.instanceId), ToUtf16(instanceId))) {
                RecordViolation("CreatePhysicalDevice: instance " + std::string(instanceId) +
                                " already has a physical device object");
            }
        }
    }
    PDEVICE_OBJECT device = CreateOwnDevice(bus, std::move(handler));
    if (device == nullptr) {
        return nullptr;
    }
    {
        std::lock_guard lock(gMutex);
        DeviceInfo& info = gIo.devices[device];
        info.physical = true;
        info.instanceId = std::string(instanceId);
        device->Flags |= DO_BUS_ENUMERATED_DEVICE;
    }
    detail::EnsureDriverKey(ToUtf16(instanceId));
    return device;
}

PDEVICE_OBJECT CreateHandlerDevice(IrpHandler handler, PDEVICE_OBJECT attachTo)
{
    PDRIVER_OBJECT driver;
    {
        std::lock_guard lock(gMutex);
        if (gIo.handlerDriver == nullptr) {
            gIo.handlerDriver = CreateDriverLocked("KvHandler", HandlerDispatch);
        }
        driver = gIo.handlerDriver;
    }
    PDEVICE_OBJECT device = CreateOwnDevice(driver, std::move(handler));
    if (device != nullptr && attachTo != nullptr && IoAttachDeviceToDeviceStack(device, attachTo) == nullptr) {
        IoDeleteDevice(device);
        return nullptr;
    }
    return device;
}

void DeleteDevice(PDEVICE_OBJECT device)
{
    if (PDEVICE_OBJECT lower = LowerDevice(device)) {
        IoDetachDevice(lower);
    }
    IoDeleteDevice(device);
}

NTSTATUS CompleteWithCurrentStatus(PIRP irp)
{
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

bool AnswerQueryInterface(PIRP irp, const GUID& type, const void* record, USHORT size, NTSTATUS* status)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction != IRP_MJ_PNP || stack->MinorFunction != IRP_MN_QUERY_INTERFACE ||
        stack->Parameters.QueryInterface.InterfaceType == nullptr ||
        !IsEqualGUIDBytes(*stack->Parameters.QueryInterface.InterfaceType, type)) {
        return false;
    }
    NTSTATUS result = STATUS_SUCCESS;
    PINTERFACE target = stack->Parameters.QueryInterface.Interface;
    if (target == nullptr || stack->Parameters.QueryInterface.Size < size || size < sizeof(INTERFACE)) {
        result = STATUS_INVALID_PARAMETER;
    } else {
        std::memcpy(target, record, size);
        if (target->InterfaceReference != nullptr) {
            target->InterfaceReference(target->Context);
        }
    }
    irp->IoStatus.Status = result;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    if (status != nullptr) {
        *status = result;
    }
    return true;
}

bool IsLiveDevice(PDEVICE_OBJECT device)
{
    std::lock_guard lock(gMutex);
    return IsLiveDeviceLocked(device);
}

bool IsPhysicalDevice(PDEVICE_OBJECT device)
{
    std::lock_guard lock(gMutex);
    auto it = gIo.devices.find(device);
    return it != gIo.devices.end() && !it->second.deletePending && it->second.physical;
}

PDEVICE_OBJECT LowerDevice(PDEVICE_OBJECT device)
{
    std::lock_guard lock(gMutex);
    auto it = gIo.devices.find(device);
    return it == gIo.devices.end() ? nullptr : it->second.lower;
}

PDEVICE_OBJECT PhysicalDeviceOf(PDEVICE_OBJECT device)
{
    std::lock_guard lock(gMutex);
    for (int depth = 0; depth < 64; ++depth) {
        auto it = gIo.devices.find(device);
        if (it == gIo.devices.end()) {
            return nullptr;
        }
        if (it->second.lower == nullptr) {
            return device;
        }
        device = it->second.lower;
    }
    return nullptr;
}

std::string InstanceId(PDEVICE_OBJECT physicalDevice)
{
    std::lock_guard lock(gMutex);
    auto it = gIo.devices.find(physicalDevice);
    return it == gIo.devices.end() ? std::string() : it->second.instanceId;
}

bool IsLiveIrp(PIRP irp)
{
    std::lock_guard lock(gMutex);
    return gIo.irps.find(irp) != gIo.irps.end();
}

size_t LiveDeviceCount()
{
    std::lock_guard lock(gMutex);
    return gIo.devices.size();
}

size_t OutstandingIrpCount()
{
    std::lock_guard lock(gMutex);
    return gIo.irps.size();
}

std::vector<std::string> OutstandingIrps()
{
    std::lock_guard lock(gMutex);
    std::vector<std::pair<uint64_t, std::string>> list;
    for (auto& [irp, info] : gIo.irps) {
        list.emplace_back(info.serial, IrpText(irp, info));
    }
    std::sort(list.begin(), list.end());
    std::vector<std::string> texts;
    for (auto& entry : list) {
        texts.push_back(std::move(entry.second));
    }
    return texts;
}

}  // namespace io
}  // namespace kv::kernel

using namespace kv::kernel;

namespace {

// An IRP as the I/O manager hands it out: nothing but its size and stack.
void InitializeIrp(PIRP irp, USHORT bytes, CCHAR stackSize)
{
    std::memset(irp, 0, bytes);
    irp->Type = IO_TYPE_IRP;
    irp->Size = bytes;
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
    irp->RequestorMode = KernelMode;
    irp->ThreadListEntry.Flink = &irp->ThreadListEntry;
    irp->ThreadListEntry.Blink = &irp->ThreadListEntry;
}

PIRP AllocateIrpLocked(CCHAR stackSize, bool synchronous)
{
    size_t bytes = sizeof(IRP) + static_cast<size_t>(stackSize) * sizeof(IO_STACK_LOCATION);
    auto block = std::make_unique<RawBlock>(bytes);
    auto* irp = static_cast<PIRP>(block->address);
    InitializeIrp(irp, static_cast<USHORT>(bytes), stackSize);
    IrpInfo info;
    info.block = std::move(block);
    info.synchronous = synchronous;
    info.serial = ++gIo.irpSerial;
    gIo.irps[irp] = std::move(info);
    return irp;
}

}  // namespace

extern "C" {

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                              DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject)
{
    CheckPassive("IoCreateDevice");
    if (DeviceObject == nullptr) {
        RecordViolation("IoCreateDevice with a null result pointer");
        return STATUS_INVALID_PARAMETER;
    }
    *DeviceObject = nullptr;
    if (auto failure = ConsumeInjectedFailure("IoCreateDevice")) {
        return *failure;
    }
    // A device extension this large is a wild size, not a request.
    constexpr ULONG kLargestExtension = 16u << 20;
    if (DeviceExtensionSize > kLargestExtension) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::u16string name;
    if (DeviceName != nullptr) {
        std::u16string_view view;
        if (!detail::ViewOf(DeviceName, &view)) {
            return STATUS_INVALID_PARAMETER;
        }
        name = view;
    }
    std::lock_guard lock(gMutex);
    if (gIo.drivers.find(DriverObject) == gIo.drivers.end()) {
        RecordViolation("IoCreateDevice with " + detail::PointerText(DriverObject) + " which is not a driver object");
        return STATUS_INVALID_PARAMETER;
    }
    if (name.empty() && (DeviceCharacteristics & FILE_AUTOGENERATED_DEVICE_NAME) != 0) {
        char text[32];
        std::snprintf(text, sizeof text, "\\Device\\%08x", ++gIo.autoNameCounter);
        name = ToUtf16(text);
    }
    if (!name.empty()) {
        for (auto& [other, info] : gIo.devices) {
            if (!info.deletePending && detail::EqualNoCase(info.name, name)) {
                return STATUS_OBJECT_NAME_COLLISION;
            }
        }
    }
    size_t objectBytes = (sizeof(DEVICE_OBJECT) + 15) & ~size_t{15};
    auto block = std::make_unique<RawBlock>(objectBytes + DeviceExtensionSize);
    auto* device = static_cast<PDEVICE_OBJECT>(block->address);
    device->Type = IO_TYPE_DEVICE;
    size_t total = objectBytes + DeviceExtensionSize;
    device->Size = static_cast<USHORT>(total > 0xFFFF ? 0xFFFF : total);
    device->DriverObject = DriverObject;
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0) | (name.empty() ? 0 : DO_DEVICE_HAS_NAME);
    device->Characteristics = DeviceCharacteristics & ~static_cast<ULONG>(FILE_AUTOGENERATED_DEVICE_NAME);
    device->DeviceExtension = DeviceExtensionSize != 0 ? static_cast<PUCHAR>(block->address) + objectBytes : nullptr;
    device->DeviceType = DeviceType;
    device->StackSize = 1;
    device->DeviceLock.Header.Type = SynchronizationEvent;
    device->DeviceLock.Header.Size = sizeof(KEVENT) / sizeof(LONG);
    device->DeviceLock.Header.SignalState = 1;
    DeviceInfo info;
    info.block = std::move(block);
    info.name = std::move(name);
    info.serial = ++gIo.deviceSerial;
    gIo.devices[device] = std::move(info);
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    CheckPassive("IoDeleteDevice");
    if (DeviceObject != nullptr) {
        // A queued work item would run for a device that no longer exists.
        for (auto& pending : scheduler::PendingWithin(nullptr, 0, DeviceObject)) {
            RecordViolation("IoDeleteDevice of " + detail::PointerText(DeviceObject) + " while its " + pending);
        }
    }
    std::unique_lock lock(gMutex);
    if (!IsLiveDeviceLocked(DeviceObject)) {
        std::string what = "IoDeleteDevice of " + detail::PointerText(DeviceObject) +
                           " which is not a live device object (deleted twice?)";
        lock.unlock();
        RecordViolation(std::move(what));
        return;
    }
    DeviceInfo& info = gIo.devices[DeviceObject];
    std::vector<std::string> complaints;
    if (info.lower != nullptr) {
        complaints.push_back("IoDeleteDevice of " + DeviceText(DeviceObject) +
                             " which is still attached to a lower device (no IoDetachDevice)");
        if (IsLiveDeviceLocked(info.lower) && info.lower->AttachedDevice == DeviceObject) {
            info.lower->AttachedDevice = nullptr;
        }
        info.lower = nullptr;
    }
    if (DeviceObject->AttachedDevice != nullptr) {
        complaints.push_back("IoDeleteDevice of " + DeviceText(DeviceObject) +
                             " while another device is attached above it");
        auto upper = gIo.devices.find(DeviceObject->AttachedDevice);
        if (upper != gIo.devices.end()) {
            upper->second.lower = nullptr;
        }
        DeviceObject->AttachedDevice = nullptr;
    }
    // Unlink from the driver's device list.
    PDRIVER_OBJECT driver = DeviceObject->DriverObject;
    if (gIo.drivers.find(driver) != gIo.drivers.end()) {
        for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link != nullptr; link = &(*link)->NextDevice) {
            if (*link == DeviceObject) {
                *link = DeviceObject->NextDevice;
                break;
            }
        }
    }
    detail::ForgetDeviceInterfaces(DeviceObject);
    // A device someone still holds a reference to goes when the last one is dropped.
    if (DeviceObject->ReferenceCount > 0) {
        info.deletePending = true;
    } else {
        FreeDeviceLocked(DeviceObject);
    }
    lock.unlock();
    for (auto& complaint : complaints) {
        RecordViolation(std::move(complaint));
    }
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice)
{
    std::unique_lock lock(gMutex);
    if (!IsLiveDeviceLocked(SourceDevice) || !IsLiveDeviceLocked(TargetDevice)) {
        lock.unlock();
        RecordViolation("IoAttachDeviceToDeviceStack with a device that is not a live device object");
        return nullptr;
    }
    DeviceInfo& source = gIo.devices[SourceDevice];
    if (source.lower != nullptr || SourceDevice->AttachedDevice != nullptr) {
        lock.unlock();
        RecordViolation("IoAttachDeviceToDeviceStack of a device that is already part of a stack");
        return nullptr;
    }
    PDEVICE_OBJECT top = TopOf(TargetDevice);
    if (top == SourceDevice) {
        return nullptr;
    }
    top->AttachedDevice = SourceDevice;
    source.lower = top;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    if (top->AlignmentRequirement > SourceDevice->AlignmentRequirement) {
        SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    }
    return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice)
{
    std::unique_lock lock(gMutex);
    if (!IsLiveDeviceLocked(TargetDevice) || TargetDevice->AttachedDevice == nullptr) {
        lock.unlock();
        RecordViolation("IoDetachDevice of " + detail::PointerText(TargetDevice) +
                        " which has no device attached above it");
        return;
    }
    auto upper = gIo.devices.find(TargetDevice->AttachedDevice);
    if (upper != gIo.devices.end()) {
        upper->second.lower = nullptr;
    }
    TargetDevice->AttachedDevice = nullptr;
}

PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject)
{
    std::unique_lock lock(gMutex);
    if (!IsLiveDeviceLocked(DeviceObject)) {
        lock.unlock();
        RecordViolation("IoGetAttachedDeviceReference of " + detail::PointerText(DeviceObject) +
                        " which is not a live device object");
        return nullptr;
    }
    PDEVICE_OBJECT top = TopOf(DeviceObject);
    ++top->ReferenceCount;
    return top;
}

LONG_PTR FASTCALL ObfReferenceObject(PVOID Object)
{
    std::unique_lock lock(gMutex);
    auto* device = static_cast<PDEVICE_OBJECT>(Object);
    if (!IsLiveDeviceLocked(device)) {
        lock.unlock();
        RecordViolation("ObReferenceObject of " + detail::PointerText(Object) + " which is not a live object");
        return 0;
    }
    return ++device->ReferenceCount;
}

LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object)
{
    std::unique_lock lock(gMutex);
    auto* device = static_cast<PDEVICE_OBJECT>(Object);
    auto it = gIo.devices.find(device);
    if (it == gIo.devices.end() || device->ReferenceCount <= 0) {
        lock.unlock();
        RecordViolation("ObDereferenceObject of " + detail::PointerText(Object) +
                        " which holds no reference");
        return 0;
    }
    LONG count = --device->ReferenceCount;
    if (count == 0 && it->second.deletePending) {
        FreeDeviceLocked(device);
    }
    return count;
}

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota)
{
    UNREFERENCED_PARAMETER(ChargeQuota);
    CheckIrql(DISPATCH_LEVEL, "IoAllocateIrp");
    if (StackSize < 1) {
        RecordViolation("IoAllocateIrp with stack size " + std::to_string(StackSize));
        return nullptr;
    }
    if (ConsumeInjectedFailure("IoAllocateIrp")) {
        return nullptr;
    }
    std::lock_guard lock(gMutex);
    return AllocateIrpLocked(StackSize, false);
}

VOID NTAPI IoFreeIrp(PIRP Irp)
{
    std::unique_lock lock(gMutex);
    if (gIo.irps.erase(Irp) == 0) {
        lock.unlock();
        RecordViolation("IoFreeIrp of " + detail::PointerText(Irp) + " which is not a live IRP");
    }
}

VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Status)
{
    std::unique_lock lock(gMutex);
    auto it = gIo.irps.find(Irp);
    if (it == gIo.irps.end() || it->second.synchronous) {
        lock.unlock();
        RecordViolation("IoReuseIrp of " + detail::PointerText(Irp) + " which is not a live IRP from IoAllocateIrp");
        return;
    }
    if (Irp->CurrentLocation != Irp->StackCount + 1) {
        lock.unlock();
        RecordViolation("IoReuseIrp of an IRP that a driver still holds");
        return;
    }
    InitializeIrp(Irp, Irp->Size, Irp->StackCount);
    Irp->IoStatus.Status = Status;
}

PIRP NTAPI IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length,
                                        PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                        PIO_STATUS_BLOCK IoStatusBlock)
{
    CheckPassive("IoBuildSynchronousFsdRequest");
    switch (MajorFunction) {
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
    case IRP_MJ_FLUSH_BUFFERS:
    case IRP_MJ_SHUTDOWN:
    case IRP_MJ_PNP:
    case IRP_MJ_POWER: break;
    default:
        RecordViolation("IoBuildSynchronousFsdRequest with major function " + std::to_string(MajorFunction) +
                        ", which it does not build");
        return nullptr;
    }
    if (Event == nullptr || IoStatusBlock == nullptr) {
        RecordViolation("IoBuildSynchronousFsdRequest without an event or a status block");
        return nullptr;
    }
    if (ConsumeInjectedFailure("IoBuildSynchronousFsdRequest")) {
        return nullptr;
    }
    std::unique_lock lock(gMutex);
    if (!IsLiveDeviceLocked(DeviceObject)) {
        lock.unlock();
        RecordViolation("IoBuildSynchronousFsdRequest for " + detail::PointerText(DeviceObject) +
                        " which is not a live device object");
        return nullptr;
    }
    if (DeviceObject->StackSize < 1) {
        lock.unlock();
        RecordViolation("IoBuildSynchronousFsdRequest for a device with stack size " +
                        std::to_string(DeviceObject->StackSize));
        return nullptr;
    }
    PIRP irp = AllocateIrpLocked(DeviceObject->StackSize, true);
    irp->Flags = IRP_SYNCHRONOUS_API;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->UserBuffer = Buffer;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = static_cast<UCHAR>(MajorFunction);
    if (MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE) {
        next->Parameters.Read.Length = Length;
        next->Parameters.Read.ByteOffset.QuadPart = StartingOffset != nullptr ? StartingOffset->QuadPart : 0;
        if ((DeviceObject->Flags & DO_BUFFERED_IO) != 0) {
            irp->AssociatedIrp.SystemBuffer = Buffer;
            irp->Flags |= IRP_BUFFERED_IO;
        }
    }
    return irp;
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    CheckIrql(DISPATCH_LEVEL, "IofCallDriver");
    PDRIVER_DISPATCH dispatch = nullptr;
    {
        std::unique_lock lock(gMutex);
        if (gIo.irps.find(Irp) == gIo.irps.end()) {
            lock.unlock();
            RecordViolation("IofCallDriver with " + detail::PointerText(Irp) + " which is not a live IRP");
            return STATUS_INVALID_PARAMETER;
        }
        if (!IsLiveDeviceLocked(DeviceObject)) {
            lock.unlock();
            RecordViolation("IofCallDriver to " + detail::PointerText(DeviceObject) +
                            " which is not a live device object");
            return STATUS_INVALID_PARAMETER;
        }
        if (Irp->CurrentLocation <= 1) {
            lock.unlock();
            RecordViolation("IofCallDriver to " + DeviceText(DeviceObject) +
                            ": the IRP has no stack location left for it");
            return STATUS_INVALID_PARAMETER;
        }
        Irp->CurrentLocation--;
        Irp->Tail.Overlay.CurrentStackLocation--;
        PIO_STACK_LOCATION stack = Irp->Tail.Overlay.CurrentStackLocation;
        stack->DeviceObject = DeviceObject;
        UCHAR major = stack->MajorFunction;
        if (major > IRP_MJ_MAXIMUM_FUNCTION) {
            lock.unlock();
            RecordViolation("IofCallDriver with major function " + std::to_string(major));
            return STATUS_INVALID_PARAMETER;
        }
        dispatch = DeviceObject->DriverObject->MajorFunction[major];
        if (dispatch == nullptr) {
            lock.unlock();
            RecordViolation("IofCallDriver: the driver of " + DeviceText(DeviceObject) +
                            " has no dispatch routine for major function " + std::to_string(major));
            return STATUS_INVALID_PARAMETER;
        }
        if (major == IRP_MJ_PNP) {
            lock.unlock();
            CheckPassive("IofCallDriver (IRP_MJ_PNP)");
        }
    }
    return dispatch(DeviceObject, Irp);
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    UNREFERENCED_PARAMETER(PriorityBoost);
    CheckIrql(DISPATCH_LEVEL, "IoCompleteRequest");
    {
        std::unique_lock lock(gMutex);
        if (gIo.irps.find(Irp) == gIo.irps.end()) {
            lock.unlock();
            RecordViolation("IoCompleteRequest of " + detail::PointerText(Irp) +
                            " which is not a live IRP (completed twice?)");
            return;
        }
        if (Irp->CurrentLocation > Irp->StackCount) {
            lock.unlock();
            RecordViolation("IoCompleteRequest of an IRP that no driver holds (not sent, or completed twice)");
            return;
        }
    }
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        RecordViolation("IoCompleteRequest with status STATUS_PENDING");
    }

    // Walk up the stack, calling the completion routine each driver set in
    // the location below its own, with its own device object.
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
    for (; Irp->CurrentLocation <= Irp->StackCount + 1;
         ++stack, Irp->CurrentLocation++, Irp->Tail.Overlay.CurrentStackLocation++) {
        Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
        bool success = NT_SUCCESS(Irp->IoStatus.Status);
        bool invoke = stack->CompletionRoutine != nullptr &&
                      ((success && (stack->Control & SL_INVOKE_ON_SUCCESS) != 0) ||
                       (!success && (stack->Control & SL_INVOKE_ON_ERROR) != 0) ||
                       (Irp->Cancel && (stack->Control & SL_INVOKE_ON_CANCEL) != 0));
        if (invoke) {
            PDEVICE_OBJECT upper = Irp->CurrentLocation == Irp->StackCount + 1
                                       ? nullptr
                                       : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
            PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
            PVOID context = stack->Context;
            std::memset(stack, 0, sizeof(*stack));
            if (routine(upper, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED) {
                return;
            }
            std::unique_lock lock(gMutex);
            if (gIo.irps.find(Irp) == gIo.irps.end()) {
                lock.unlock();
                RecordViolation("IoCompleteRequest: a completion routine freed the IRP but did not return "
                                "STATUS_MORE_PROCESSING_REQUIRED");
                return;
            }
        } else {
            if (Irp->CurrentLocation <= Irp->StackCount && Irp->PendingReturned) {
                IoMarkIrpPending(Irp);
            }
            std::memset(stack, 0, sizeof(*stack));
        }
    }

    bool synchronous;
    {
        std::lock_guard lock(gMutex);
        auto it = gIo.irps.find(Irp);
        if (it == gIo.irps.end()) {
            return;  // a completion routine freed it, which it should not have done while returning success
        }
        synchronous = it->second.synchronous;
    }
    if (synchronous) {
        *Irp->UserIosb = Irp->IoStatus;
        KeSetEvent(Irp->UserEvent, IO_NO_INCREMENT, FALSE);
    } else {
        RecordViolation("IoCompleteRequest: an IRP from IoAllocateIrp was completed to the top; its owner must "
                        "stop completion with STATUS_MORE_PROCESSING_REQUIRED and free it");
    }
    std::lock_guard lock(gMutex);
    gIo.irps.erase(Irp);
}

}  // extern "C"
