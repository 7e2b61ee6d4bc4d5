// The eight operations and the survey, each handed to the active backend,
// and what the backends share.
#include "card/plx/plx_api.h"

#include <cstdarg>
#include <cstdio>

PLX_STATUS PlxPci_DeviceFind(PLX_DEVICE_KEY* key, uint16_t device_number)
{
    return plx_backend->DeviceFind(key, device_number);
}

PLX_STATUS PlxPci_DeviceOpen(PLX_DEVICE_KEY* key, PLX_DEVICE_OBJECT* device)
{
    return plx_backend->DeviceOpen(key, device);
}

uint32_t PlxPci_PciRegisterRead(uint8_t bus, uint8_t slot, uint8_t function, uint16_t offset,
                                PLX_STATUS* status)
{
    return plx_backend->PciRegisterRead(bus, slot, function, offset, status);
}

PLX_STATUS PlxPci_PciBarMap(PLX_DEVICE_OBJECT* device, uint8_t bar_index, volatile uint8_t** va)
{
    return plx_backend->PciBarMap(device, bar_index, va);
}

PLX_STATUS PlxPci_PciBarUnmap(PLX_DEVICE_OBJECT* device, volatile uint8_t** va)
{
    return plx_backend->PciBarUnmap(device, va);
}

PLX_STATUS PlxPci_DeviceClose(PLX_DEVICE_OBJECT* device)
{
    return plx_backend->DeviceClose(device);
}

PLX_STATUS PlxPci_IoPortRead(PLX_DEVICE_OBJECT* device, uint64_t port, void* buffer,
                             uint32_t byte_count, PLX_ACCESS_TYPE access)
{
    return plx_backend->IoPortRead(device, port, buffer, byte_count, access);
}

PLX_STATUS PlxPci_IoPortWrite(PLX_DEVICE_OBJECT* device, uint64_t port, const void* buffer,
                              uint32_t byte_count, PLX_ACCESS_TYPE access)
{
    return plx_backend->IoPortWrite(device, port, buffer, byte_count, access);
}

PLX_STATUS plx_device_survey(const PLX_DEVICE_KEY* key, uint64_t port, PLX_DEVICE_SURVEY* survey)
{
    if (plx_backend->DeviceSurvey == nullptr) {
        if (survey != nullptr) {
            *survey = PLX_DEVICE_SURVEY{};
            survey->register_status = PLX_STATUS_FAILED;
        }
        return PLX_STATUS_FAILED;
    }
    return plx_backend->DeviceSurvey(key, port, survey);
}

void plx_survey_note(PLX_DEVICE_SURVEY* survey, PLX_HINDRANCE_KIND kind, const char* format, ...)
{
    if (survey->hindrance_count == PLX_DEVICE_SURVEY::MAX_HINDRANCES) {
        return;
    }
    PLX_HINDRANCE& hindrance = survey->hindrances[survey->hindrance_count++];
    hindrance.kind = kind;
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(hindrance.detail, sizeof hindrance.detail, format, arguments);
    va_end(arguments);
}

bool plx_key_matches(const PLX_DEVICE_KEY& want, const PLX_DEVICE_KEY& have)
{
    auto field = [](unsigned wanted, unsigned any, unsigned actual) {
        return wanted == any || wanted == actual;
    };
    return field(want.domain, PLX_KEY_ANY_16, have.domain) &&
           field(want.bus, PLX_KEY_ANY_8, have.bus) && field(want.slot, PLX_KEY_ANY_8, have.slot) &&
           field(want.function, PLX_KEY_ANY_8, have.function) &&
           field(want.vendor_id, PLX_KEY_ANY_16, have.vendor_id) &&
           field(want.device_id, PLX_KEY_ANY_16, have.device_id) &&
           field(want.subsystem_vendor_id, PLX_KEY_ANY_16, have.subsystem_vendor_id) &&
           field(want.subsystem_device_id, PLX_KEY_ANY_16, have.subsystem_device_id);
}
