// The controller exchange behind one temperature read, as the driver's request log shows it,
// and the typical request that makes it: checked on the host and through the real DLL.
#ifndef KOVALTHERM_CONTRACT_EXCHANGE_H
#define KOVALTHERM_CONTRACT_EXCHANGE_H

#include <stddef.h>
#include <stdint.h>

#include "sim/notebook.h"

namespace contract {

// One request of the exchange: 'W' writes `value` to controller byte `index`, 'R' reads byte
// `index`, 'B' polls the busy flag.
struct ExchangeStep {
    char kind;
    int index;
    int value;
};

// The kind of a logged request; '?' for a request outside the exchange.
inline char ExchangeKind(uint32_t code)
{
    switch (code) {
    case SIM_IOCTL_WRITE_CONTROLLER_BYTE: return 'W';
    case SIM_IOCTL_READ_CONTROLLER_BYTE: return 'R';
    case SIM_IOCTL_CONTROLLER_BUSY: return 'B';
    default: return '?';
    }
}

// An answered read: command 0x15 and four zeros, a busy poll, the eight answer bytes, a busy
// poll, and the release command 0x10 with four zeros.
inline const ExchangeStep kAnsweredExchange[] = {
    {'W', 0x30, 0x15}, {'W', 0x31, 0}, {'W', 0x32, 0}, {'W', 0x33, 0}, {'W', 0x34, 0},
    {'B', 0, 0},
    {'R', 0, 0}, {'R', 1, 0}, {'R', 2, 0}, {'R', 3, 0},
    {'R', 4, 0}, {'R', 5, 0}, {'R', 6, 0}, {'R', 7, 0},
    {'B', 0, 0},
    {'W', 0x30, 0x10}, {'W', 0x31, 0}, {'W', 0x32, 0}, {'W', 0x33, 0}, {'W', 0x34, 0},
};
inline const size_t kAnsweredExchangeSteps = sizeof kAnsweredExchange / sizeof kAnsweredExchange[0];

// Positions of the first and last answer-byte reads in the exchange, and the pause the
// library keeps between consecutive reads.
inline const size_t kFirstAnswerRead = 6;
inline const size_t kLastAnswerRead = 13;
inline const uint32_t kAnswerReadPauseMs = 2;

// The typical request: sensors 1, 2 and 3 present, physical sensor 1 at 63 degrees; ordinal 0
// is physical sensor 1 and reads 63.
inline const uint32_t kTypicalPresence = 0x0E;
inline const int kTypicalPhysicalSensor = 1;
inline const int kTypicalTemperature = 63;

} // namespace contract

#endif
