// http.sys's URL reservations on this machine, for the rules of url_reservation.h. Link httpapi.
#ifndef KOVALTHERM_CLIENT_URL_RESERVATION_WINDOWS_H
#define KOVALTHERM_CLIENT_URL_RESERVATION_WINDOWS_H

#include <memory>

#include "url_reservation.h"

namespace ktsensors {

// http.sys's store (HttpSetServiceConfiguration and the rest), with the record of the service's
// reservation in its own registry key (the value UrlReservation of
// HKLM\SYSTEM\CurrentControlSet\Services\Kovaltherm\Parameters), which goes when the service
// is deleted: write it only once the service exists.
std::unique_ptr<UrlReservations> MakeHttpSysReservations();

} // namespace ktsensors

#endif
