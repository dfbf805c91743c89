/* The stand-in kernel driver `qorix`: creates \Device\qorix, reachable as \\.\qorix and, for
 * the 9x path, \\.\qorix.vxd, and serves device control from the simulated notebook. */
#include <ddk/wdm.h>

#include "driver/notebook_service.h"

static KMUTEX g_notebookLock;

static const WCHAR DEVICE_NAME[] = L"\\Device\\qorix";
static const WCHAR LINK_NAME[] = L"\\DosDevices\\qorix";
static const WCHAR LINK_NAME_9X[] = L"\\DosDevices\\qorix.vxd";

/* Found in the image by the test kit's scripts, which touch no qorix service without it. */
__attribute__((used)) static const char KIT_MARKER[] = "KOVALTHERM-TESTKIT-STAND-IN-QORIX";

/* Milliseconds on the performance counter: the notebook's clock for traces and the log.
 * (Wine does not keep the interrupt time moving for drivers.) */
static uint32_t NowMs(void)
{
    LARGE_INTEGER frequency;
    LARGE_INTEGER now = KeQueryPerformanceCounter(&frequency);
    if (frequency.QuadPart <= 0)
        return 0;
    return (uint32_t)(now.QuadPart / (frequency.QuadPart / 1000 ? frequency.QuadPart / 1000 : 1));
}

/* The NTSTATUS that carries a Win32 error code from the notebook to the caller. */
static NTSTATUS StatusFor(uint32_t error)
{
    switch (error) {
    case 0: return STATUS_SUCCESS;
    case QORIX_ERROR_INVALID_FUNCTION: return STATUS_INVALID_DEVICE_REQUEST;
    case QORIX_ERROR_INVALID_PARAMETER: return STATUS_INVALID_PARAMETER;
    default: return STATUS_UNSUCCESSFUL;
    }
}

/* Completes a request with a status and the number of output bytes; returns the status. */
static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT device, PIRP irp)
{
    (void)device;
    return Complete(irp, STATUS_SUCCESS, 0);
}

/* Serves a device-control request under the notebook's lock. */
static NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    uint32_t information = 0;
    uint32_t error;
    (void)device;
    KeWaitForSingleObject(&g_notebookLock, Executive, KernelMode, FALSE, NULL);
    error = QorixServe(stack->Parameters.DeviceIoControl.IoControlCode,
                       irp->AssociatedIrp.SystemBuffer,
                       stack->Parameters.DeviceIoControl.InputBufferLength,
                       stack->Parameters.DeviceIoControl.OutputBufferLength, &information,
                       NowMs());
    KeReleaseMutex(&g_notebookLock, FALSE);
    return Complete(irp, StatusFor(error), information);
}

static void NTAPI DriverUnload(PDRIVER_OBJECT driver)
{
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, LINK_NAME);
    IoDeleteSymbolicLink(&link);
    RtlInitUnicodeString(&link, LINK_NAME_9X);
    IoDeleteSymbolicLink(&link);
    if (driver->DeviceObject)
        IoDeleteDevice(driver->DeviceObject);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    UNICODE_STRING name, link;
    PDEVICE_OBJECT device = NULL;
    NTSTATUS status;
    (void)registryPath;

    QorixStartNotebook();
    KeInitializeMutex(&g_notebookLock, 0);
    RtlInitUnicodeString(&name, DEVICE_NAME);
    status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    RtlInitUnicodeString(&link, LINK_NAME);
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    RtlInitUnicodeString(&link, LINK_NAME_9X);
    IoCreateSymbolicLink(&link, &name);

    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    driver->DriverUnload = DriverUnload;
    return STATUS_SUCCESS;
}
