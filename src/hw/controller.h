// The embedded controller's command exchange.
//
// Return conventions: the block read returns a 16-bit result, BLOCK_ANSWERED (0) or
// BLOCK_NO_ANSWER (3), and adds what its attempts went through to the caller's BlockReads.
#ifndef KOVALTHERM_CONTROLLER_H
#define KOVALTHERM_CONTROLLER_H

#include "base/outcomes.h"

enum {
    CONTROLLER_COMMAND_INDEX = 0x30,  // command bytes 0x30..0x34
    CONTROLLER_COMMAND_LENGTH = 5,
    CONTROLLER_ANSWER_INDEX = 0,      // answer block 0..7
    CONTROLLER_ANSWER_LENGTH = 8,
    CONTROLLER_COMMAND_BASE = 0x10,   // command byte 0 = base | code; base alone releases
    CONTROLLER_RELEASE_CODE = 0,
    CONTROLLER_ECHO_MASK = 0x0F,      // answer byte 0's bits that echo the code
    BLOCK_READ_ATTEMPTS = 20,
    BUSY_WAIT_MS = 50,
    ANSWER_BYTE_WAIT_MS = 2,
};

enum BlockResult : WORD { BLOCK_ANSWERED = 0, BLOCK_NO_ANSWER = 3 };

// Opens or creates the controller's machine-wide mutex (at attach, as on a fresh load);
// `withDescriptor` as for OpenMachineMutex. Where no mutex can be opened at all, the
// exchanges are guarded by the library's lock alone.
void OpenControllerMutex(BOOL withDescriptor);

// Closes the controller's mutex, if it was opened (at detach).
void CloseControllerMutex(void);

// Sends command `code` and reads its eight-byte answer into `block`, releasing the
// controller afterwards; from the command to the release it holds the controller's mutex.
// BLOCK_NO_ANSWER after 20 failed attempts, or at once, without a request to the
// controller, when the mutex does not come within CONTROLLER_MUTEX_WAIT_MS.
WORD ReadControllerBlock(BYTE code, BYTE block[CONTROLLER_ANSWER_LENGTH], BlockReads *reads);

#endif
