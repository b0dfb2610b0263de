// The helper's controller: selects the device once both the driver road and
// the USB road report it, and forgets it when either reports it gone.
#pragma once

class HALBridge;
class USBBridge;

class AppObject {
public:
    AppObject() = default;
    ~AppObject();
    AppObject(const AppObject&) = delete;
    AppObject& operator=(const AppObject&) = delete;

    void initApp();
    void usbConnect();
    void usbDisconnect();
    void driverConnect();
    void driverDisconnect();
    void interfaceAdded();
    void interfaceRemoved();

    bool usbConnected() const { return _usbConnected; }
    bool driverConnected() const { return _driverConnected; }
    bool deviceConnected() const { return _deviceConnected; }
    HALBridge* halBridge() const { return _hx5100HALBridge; }
    USBBridge* usbBridge() const { return _hx5100USBBridge; }

private:
    bool _usbConnected = false;
    bool _driverConnected = false;
    bool _deviceConnected = false;
    HALBridge* _hx5100HALBridge = nullptr;
    USBBridge* _hx5100USBBridge = nullptr;
};
