// The service's reservation of its --listen URL in http.sys, as ktsensors.exe --install-service
// and the MSI's custom actions make and remove it: reserved for the service's account only where
// nobody has reserved the URL, recorded, and removed only as recorded. A reservation another
// program made is never deleted or changed. The rules run over an interface, so that they are
// tested against a model of http.sys's store (url_reservation_windows.cpp is the real one).
#ifndef KOVALTHERM_CLIENT_URL_RESERVATION_H
#define KOVALTHERM_CLIENT_URL_RESERVATION_H

#include <string>
#include <vector>

namespace ktsensors {

// Who may take the service's URL: LocalSystem, the service's account (execute, as netsh http
// add urlacl grants "listen").
extern const char kServiceUrlSddl[];

// Windows' error codes that the rules tell apart, as Windows numbers them.
const unsigned long kUrlDone = 0;        // NO_ERROR
const unsigned long kUrlNotFound = 2;    // ERROR_FILE_NOT_FOUND
const unsigned long kUrlReserved = 183;  // ERROR_ALREADY_EXISTS

// http.sys's URL reservations (URL ACLs), and the record of the one an install of ours made.
class UrlReservations {
public:
    virtual ~UrlReservations() = default;
    // The reservation of `url` exactly: kUrlDone with its security descriptor in *sddl,
    // kUrlNotFound, or another error.
    virtual unsigned long Query(const std::string &url, std::string *sddl) = 0;
    // Reserves `url` with `sddl`; kUrlReserved when it is reserved already.
    virtual unsigned long Add(const std::string &url, const std::string &sddl) = 0;
    virtual unsigned long Remove(const std::string &url) = 0;
    // The accounts a security descriptor lets take the URL, for a message ("NT AUTHORITY\LOCAL SERVICE").
    virtual std::string Accounts(const std::string &sddl) = 0;
    // An error code in words, for a message ("error 5: Access is denied").
    virtual std::string ErrorText(unsigned long code) = 0;
    // The URL an install of ours recorded as reserved by it; "" for none.
    virtual std::string Recorded() = 0;
    // Records `url` ("" forgets the record); false when it cannot.
    virtual bool Record(const std::string &url) = 0;
};

// Gives the service the reservation of `url` ("" when it does not listen). A free URL is reserved
// for the service and recorded; a reserved one is kept when the record names it, and is otherwise
// another program's: nothing is changed, and the problem names its accounts. Once `url` is the
// service's, the recorded one it replaces is removed. Returns "" or the problem; *said gets a
// line for each thing done.
std::string ReserveServiceUrl(UrlReservations &store, const std::string &url, std::vector<std::string> *said);

// Before there were records: with no record, records `earlier` (the URL the service's earlier
// install had, from that install's own settings) when it is reserved for the service alone, as
// an earlier install of ours made it. *said as above.
void AdoptEarlierReservation(UrlReservations &store, const std::string &earlier, std::vector<std::string> *said);

// Removes the reservation the record names, and the record; "" or the problem, with *said as above.
std::string UnreserveServiceUrl(UrlReservations &store, std::vector<std::string> *said);

} // namespace ktsensors

#endif
