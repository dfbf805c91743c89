// The embedded controller's command exchange and the temperature read built on it.
#ifndef KOVALTHERM_CONTROLLER_H
#define KOVALTHERM_CONTROLLER_H

#include "platform/win32_api.h"

enum {
    CONTROLLER_COMMAND_INDEX = 0x30,  // command bytes 0x30..0x34
    CONTROLLER_COMMAND_LENGTH = 5,
    CONTROLLER_ANSWER_INDEX = 0,      // answer block 0..7
    CONTROLLER_ANSWER_LENGTH = 8,
    CONTROLLER_COMMAND_BASE = 0x10,   // command byte 0 = base | code; base alone releases
    CONTROLLER_RELEASE_CODE = 0,
    CONTROLLER_ECHO_MASK = 0x0F,      // answer byte 0's bits that echo the code
    TEMPERATURE_COMMAND = 5,
    BLOCK_READ_ATTEMPTS = 20,
    BUSY_WAIT_MS = 50,
    ANSWER_BYTE_WAIT_MS = 2,
    BLOCK_RETRY_WAIT_MS = 1357,
    TEMPERATURE_RETRY_LIMIT = 1,      // block reads repeated after the first fails
    BLOCK_ANSWERED = 0,
    BLOCK_NO_ANSWER = 3,
    NO_TEMPERATURE = -100,
};

// Opens or creates the controller's machine-wide mutex (at attach, as on a fresh load);
// `withDescriptor` as for OpenMachineMutex. Where no mutex can be opened at all, the
// exchanges are guarded by the library's lock alone.
void OpenControllerMutex(BOOL withDescriptor);

// Closes the controller's mutex, if it was opened (at detach).
void CloseControllerMutex(void);

// Writes the five command bytes: base | code, then zeros.
void WriteControllerCommand(BYTE base, BYTE code);

// Sends command `code` and reads its eight-byte answer into `block`, releasing the
// controller afterwards; from the command to the release it holds the controller's mutex.
// Returns BLOCK_ANSWERED, or BLOCK_NO_ANSWER after 20 failed attempts, or at once, without
// a request to the controller, when the mutex does not come within CONTROLLER_MUTEX_WAIT_MS.
WORD ReadControllerBlock(BYTE code, BYTE block[CONTROLLER_ANSWER_LENGTH]);

// Returns the temperature (0-255) of the sensor with this ordinal, or NO_TEMPERATURE.
int ReadSensorTemperature(int ordinal);

#endif
