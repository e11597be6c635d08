#include "plugins/SettingsLight.h"

SettingsLight::~SettingsLight() = default;

Registry* SettingsLight::mpoGetUserRoot() {
    if (!moUserRoot.mbIsOpen() && !moUserRoot.mbCreate(HKEY_CURRENT_USER, kVendorRoot, KEY_READ | KEY_WRITE))
        return nullptr;
    return &moUserRoot;
}

Registry* SettingsLight::mpoGetMachineRoot() {
    if (!moMachineRoot.mbIsOpen() && !moMachineRoot.mbOpen(HKEY_LOCAL_MACHINE, kVendorRoot, KEY_READ))
        return nullptr;
    return &moMachineRoot;
}
