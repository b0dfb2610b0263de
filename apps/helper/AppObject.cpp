#include "apps/helper/AppObject.h"

#include <syslog.h>

#include <cstdio>

#include "apps/helper/HALBridge.h"
#include "apps/helper/USBBridge.h"
#include "platform/base/HXLog.h"

AppObject::~AppObject() {
    delete _hx5100USBBridge;
    delete _hx5100HALBridge;
}

void AppObject::initApp() {
    _usbConnected = false;
    _driverConnected = false;
    _deviceConnected = false;
    _hx5100HALBridge = new HALBridge();
    _hx5100USBBridge = USBBridge::initWithControler(this);
    if (!_hx5100USBBridge) {
        syslog(LOG_WARNING, "Could not initialize USB.");
        return;
    }
    _hx5100USBBridge->startUp();
}

void AppObject::usbConnect() {
    syslog(LOG_WARNING, "usbConnect\n");
    _usbConnected = true;
    interfaceAdded();
}

void AppObject::usbDisconnect() {
    syslog(LOG_WARNING, "usbDisconnect\n");
    _usbConnected = false;
    interfaceRemoved();
}

void AppObject::driverConnect() {
    syslog(LOG_WARNING, "driverConnect\n");
    _driverConnected = true;
    interfaceAdded();
}

void AppObject::driverDisconnect() {
    syslog(LOG_WARNING, "driverDisconnect\n");
    _driverConnected = false;
    interfaceRemoved();
}

void AppObject::interfaceAdded() {
    std::printf("interfaceAdded...\n");
    if (!(_usbConnected && _driverConnected && !_deviceConnected)) {
        std::printf("NO.\n");
        return;
    }
    std::printf("YES.\n");
    _hx5100HALBridge->selectDriver(0);
    _deviceConnected = true;
}

void AppObject::interfaceRemoved() {
    if (!_deviceConnected) return;
    std::printf("Interface removed\n");
    _usbConnected = false;
    _driverConnected = false;
    _deviceConnected = false;
}
