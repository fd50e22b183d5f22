/* TARNDFU.SYS, the driver of the Tarn DFU package (TARNDFU.INF): the kernel-mode module that
 * Plug and Play loads for a boot loader whose service is TARNDFU once the package is installed.
 * What the driver does is the lab's model of it, the one that serves the service on a PC where
 * no package was installed: the module hands its driver object to that model, and takes it back
 * when it is unloaded. */
#include <lab/driver_models.h>

static VOID unload(PDRIVER_OBJECT driver) { LabReleaseDriverModel(driver); }

DRIVER_ENTRY_EXPORT NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    NTSTATUS status;
    (void)registryPath;
    status = LabServeWithDriverModel(driver, "TARNDFU");
    if (NT_SUCCESS(status)) driver->DriverUnload = unload;
    return status;
}
