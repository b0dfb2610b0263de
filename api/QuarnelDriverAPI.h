// The driver control API: discovery of the kernel driver's device services
// on the run loop of the thread that called qnapiInit, one process-wide list
// of USBDevice objects (128 slots), and one callback for arrivals,
// departures and the kernel's state changes. Everything runs on that one
// run-loop thread; there are no locks.
#pragma once

#include "api/QnAPITypes.h"
#include "api/USBDevice.h"

void qnapiInit(QNAPI_Callback callback, void* context, const GUID& guid);
void qnapiTerm();

// The slots of the device list.
constexpr int kQnapiMaxDevices = 128;

// The pieces of discovery (the notification handlers and the per-service
// steps).
void ServicePublishCallback(void* refcon, io_iterator_t iterator);
void ServiceTerminateCallback(void* refcon, io_iterator_t iterator);
void ServicePublished(io_service_t service);
void ServiceTerminated(io_service_t service);
void _qnapiScanServices();
void _qnapiMarkAsRemoved(USBDevice* device);
// Reports an event for a device to the callback, when one is set.
void _qnapiReport(USBDevice* device, QNAPI_CBEvent event);

// Version texts (QnVersion's numbers to its text).
void _qnapiMakeVersionString(QnVersion& version);
void _qnapiMakeVersionStringFirmware(QnVersion& version);
void _qnapiMakeVersionStringStd(QnVersion& version);
