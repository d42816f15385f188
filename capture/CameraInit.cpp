// Device start and stop on the capture side: the field ring, the bridge
// start-up passes with decoder detection, the decoder's start-up table and
// the choice of operating mode.
#include <string.h>

#include "capture/Capture.h"
#include "driver/Driver.h"
#include "hw/Hardware.h"

namespace {

// Decoder register 0x83 tells whether the 5150 wants the patch.
#define DECODER_ID_REGISTER 0x83
#define DECODER_ID_PATCH_A 0x21
#define DECODER_ID_PATCH_B 0xA8

// Descriptor lengths of the low-bandwidth board.
#define LOW_BANDWIDTH_DESCRIPTOR_A 99
#define LOW_BANDWIDTH_DESCRIPTOR_B 195

VOID ReleaseSlots(DeviceContext* Context, ULONG Count)
{
    for (ULONG i = 0; i < Count; ++i) {
        if (Context->fieldRing[i] != nullptr) {
            ExFreePool(Context->fieldRing[i]);
            Context->fieldRing[i] = nullptr;
        }
    }
}

}  // namespace

NTSTATUS NTAPI CamInitialize(PDEVICE_OBJECT BusDeviceObject, PVOID ContextArgument)
{
    UNREFERENCED_PARAMETER(BusDeviceObject);
    auto* context = static_cast<DeviceContext*>(ContextArgument);
    context->streamOpened = 0;

    // Buffers that survived an earlier start without teardown are reused.
    for (ULONG slot = 0; slot < FIELD_RING_SLOTS; ++slot) {
        if (context->fieldRing[slot] != nullptr) {
            continue;
        }
        context->fieldRing[slot] =
            static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, FIELD_BUFFER_BYTES, DRIVER_POOL_TAG));
        if (context->fieldRing[slot] == nullptr) {
            ReleaseSlots(context, slot);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        // The first frame after a start takes a previous field from the ring
        // before anything was stored there: start from zeros, not from
        // whatever the pool held.
        memset(context->fieldRing[slot], 0, FIELD_BUFFER_BYTES);
    }

    context->decoderType = DECODER_TYPE_NONE;
    context->detectedDecoderType = DECODER_TYPE_NONE;

    BridgeStartupTableId table;
    USHORT address;
    NTSTATUS result = WriteBridgeStartupTable(context, BridgeTable88, TRUE);
    if (ProbeDecoder88(context) && result == STATUS_SUCCESS) {
        ppl_set_sensor_type(context->pipelineHandle, PPL_SENSOR_TYPE_22356);
        context->decoderType = context->detectedDecoderType = DECODER_TYPE_88;
        table = BridgeTable88;
        address = DECODER_ADDRESS_88;
    } else {
        result = WriteBridgeStartupTable(context, BridgeTable4A, FALSE);
        if (ProbeDecoder4A(context) && result == STATUS_SUCCESS) {
            ppl_set_sensor_type(context->pipelineHandle, PPL_SENSOR_TYPE_18512);
            context->decoderType = context->detectedDecoderType = DECODER_TYPE_4A;
            table = BridgeTable4A;
            address = DECODER_ADDRESS_4A;
        } else {
            context->decoderType = context->detectedDecoderType = DECODER_TYPE_5150;
            table = BridgeTable5150;
            address = DECODER_ADDRESS_5150;
        }
    }

    SelectStreamDescription(FALSE);
    result = WriteBridgeStartupTable(context, table, FALSE);
    context->decoderI2cAddress = address;
    SelectI2cDevice(context, address);
    DelayMs(context, 100);

    const RegisterTable* decoderTable = &DecoderShortTable;
    if (I2cRead(context, DECODER_ID_REGISTER) == DECODER_ID_PATCH_A ||
        I2cRead(context, DECODER_ID_REGISTER) == DECODER_ID_PATCH_B) {
        decoderTable = &DecoderPatchTable;
    }
    if (result == STATUS_SUCCESS) {
        WriteDecoderTableAt(context, context->decoderI2cAddress, decoderTable);
    }

    const ULONG descriptorLength = USBCAMD_DescriptorLength(context);
    if (descriptorLength == LOW_BANDWIDTH_DESCRIPTOR_A ||
        USBCAMD_DescriptorLength(context) == LOW_BANDWIDTH_DESCRIPTOR_B) {
        context->highBandwidth = 0;
        SelectStreamDescription(TRUE);
    } else {
        context->highBandwidth = 1;
    }
    return result;
}

NTSTATUS NTAPI CamUnInitialize(PDEVICE_OBJECT BusDeviceObject, PVOID ContextArgument)
{
    UNREFERENCED_PARAMETER(BusDeviceObject);
    auto* context = static_cast<DeviceContext*>(ContextArgument);
    if (context->interfaceInfo != nullptr) {
        ExFreePool(context->interfaceInfo);
        context->interfaceInfo = nullptr;
    }
    ReleaseSlots(context, FIELD_RING_SLOTS);
    if (context->pipelineHandle != nullptr) {
        ppl_free(context->pipelineHandle);
        context->pipelineHandle = nullptr;
    }
    return STATUS_SUCCESS;
}
