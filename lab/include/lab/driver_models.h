/* The lab's models of outside drivers, for the kernel-mode modules that stand for them (the
 * TARNDFU.SYS of the Tarn DFU package): a module written against wdm.h hands its driver object
 * to the lab's model from its DriverEntry, and the model then serves the devices that the module
 * is the driver of, as the lab's own driver of that service does. One model, however it is
 * loaded: the lab's built-in driver and the module answer alike. */
#pragma once
#include <winsim/wdm.h>

/* Makes `driver` serve its devices with the lab's model of the outside driver `model` (its
 * service name as the lab registers it, "TARNDFU"): its dispatch routines and add-device routine
 * become the model's. Call it last in DriverEntry, and LabReleaseDriverModel from the unload
 * routine. STATUS_OBJECT_NAME_NOT_FOUND for a model the lab does not have, and
 * STATUS_INVALID_PARAMETER without a driver object. */
NTKERNELAPI NTSTATUS LabServeWithDriverModel(PDRIVER_OBJECT driver, const char* model);
/* Lets go of the model: the driver object is the module's alone again. */
NTKERNELAPI VOID LabReleaseDriverModel(PDRIVER_OBJECT driver);
