// The location code each physical sensor reports, by physical index 0 to 7.
#ifndef KOVALTHERM_CONTRACT_LOCATIONS_H
#define KOVALTHERM_CONTRACT_LOCATIONS_H

namespace contract {

inline const int kLocationByPhysicalIndex[8] = {2, 4, 5, 1, 6, 7, 8, 9};

} // namespace contract

#endif
