// The rules of the service's URL reservation (url_reservation.h), apart from the platform.
#include "url_reservation.h"

namespace ktsensors {

const char kServiceUrlSddl[] = "D:(A;;GX;;;SY)";

namespace {

// Removes the reservation of `url`; "" when it is gone, or the problem.
std::string RemoveOurs(UrlReservations &store, const std::string &url, std::vector<std::string> *said)
{
    unsigned long rc = store.Remove(url);
    if (rc != kUrlDone && rc != kUrlNotFound)
        return "cannot remove the reservation of " + url + " (" + store.ErrorText(rc) + ")";
    said->push_back(rc == kUrlDone ? "removed the reservation of " + url
                                   : "the reservation of " + url + " was gone already");
    return "";
}

} // namespace

std::string ReserveServiceUrl(UrlReservations &store, const std::string &url, std::vector<std::string> *said)
{
    std::string recorded = store.Recorded();
    if (!url.empty()) {
        unsigned long rc = store.Add(url, kServiceUrlSddl);
        if (rc == kUrlReserved && url != recorded) {
            std::string sddl;
            std::string owners = store.Query(url, &sddl) == kUrlDone ? store.Accounts(sddl) + " (" + sddl + ")"
                                                                     : "another account";
            return url + " is reserved for " + owners + ", which no install of Kovaltherm made: it is left as it is; "
                   "give the service another port, or remove that reservation first (netsh http delete urlacl url=" +
                   url + ")";
        }
        if (rc != kUrlDone && rc != kUrlReserved)
            return "cannot reserve " + url + " for the service (" + store.ErrorText(rc) + ")";
        said->push_back(rc == kUrlDone ? "reserved " + url + " for the service (" + kServiceUrlSddl + ")"
                                       : "kept the reservation of " + url + " for the service, which its install made");
    }
    if (!recorded.empty() && recorded != url) {
        std::string problem = RemoveOurs(store, recorded, said);
        if (!problem.empty())
            return problem;
    }
    if (url != recorded && !store.Record(url))
        return "cannot record the reservation of " + url;
    return "";
}

void AdoptEarlierReservation(UrlReservations &store, const std::string &earlier, std::vector<std::string> *said)
{
    std::string sddl;
    if (earlier.empty() || !store.Recorded().empty() || store.Query(earlier, &sddl) != kUrlDone ||
        sddl != kServiceUrlSddl || !store.Record(earlier))
        return;
    said->push_back("took the reservation of " + earlier + " for the service, which its earlier install made");
}

std::string UnreserveServiceUrl(UrlReservations &store, std::vector<std::string> *said)
{
    std::string recorded = store.Recorded();
    if (recorded.empty())
        return "";
    std::string problem = RemoveOurs(store, recorded, said);
    if (problem.empty() && !store.Record(""))
        problem = "cannot forget the record of " + recorded;
    return problem;
}

} // namespace ktsensors
