// Power requests a driver asks the power manager for (PoRequestPowerIrp), and the calls a driver
// uses to pass power requests down. The request is the power manager's own IRP: it goes to the
// top of the device's stack, and when it comes back up the requester's routine is told the
// outcome and the IRP is freed.
#include "../internal.h"
#include "kernel.h"
#include "trace.h"

namespace {

struct PowerRequest {
    PDEVICE_OBJECT device;  // as the requester named it
    PDEVICE_OBJECT top;     // where the request went, referenced until it is back
    UCHAR minor;
    POWER_STATE state;
    PREQUEST_POWER_COMPLETE done;
    PVOID context;
};

NTSTATUS powerRequestDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* request = static_cast<PowerRequest*>(context);
    IO_STATUS_BLOCK status = irp->IoStatus;
    if (request->done) request->done(request->device, request->minor, request->state, request->context, &status);
    IoFreeIrp(irp);
    winsim::kernel::release(request->top);
    delete request;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

extern "C" {

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PREQUEST_POWER_COMPLETE done,
                           PVOID context, PIRP* out) {
    if (out) *out = nullptr;
    if (!device || (minor != IRP_MN_SET_POWER && minor != IRP_MN_QUERY_POWER)) return STATUS_INVALID_PARAMETER;
    if (winsim::kernel::poolAllocationFails()) return STATUS_INSUFFICIENT_RESOURCES;
    PDEVICE_OBJECT top = IoGetAttachedDevice(device);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    winsim::kernel::reference(top);
    auto* request = new PowerRequest{device, top, minor, state, done, context};
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = minor;
    next->Parameters.Power.Type = DevicePowerState;
    next->Parameters.Power.State = state;
    IoSetCompletionRoutine(irp, powerRequestDone, request, TRUE, TRUE, TRUE);
    TRACE("ntoskrnl", "PoRequestPowerIrp %p minor %x D%d", static_cast<void*>(top), minor, state.DeviceState - 1);
    if (out) *out = irp;
    IoCallDriver(top, irp);
    return STATUS_PENDING;
}

VOID PoStartNextPowerIrp(PIRP) {}

NTSTATUS PoCallDriver(PDEVICE_OBJECT device, PIRP irp) { return IoCallDriver(device, irp); }

}  // extern "C"
