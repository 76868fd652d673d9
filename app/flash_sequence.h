// The download worker: one complete flash of one phone, on a thread of its own.
#pragma once

// The worker's thread procedure; `run` is the RunRecord (app/run_record.h) of this download, with the
// device lent to it. Writes every image the package carries to its partition in the fixed order, erases
// userdata and cache when the record's "UserData" is set, and reboots the phone; stops at the first
// failure. Sends STATE_DOWNLOADING first and STATE_SUCCEEDED or STATE_FAILED at the end (each
// synchronously, wParam the record's row, which also tags every progress report). Before the final state
// the outcome and its reason are in the record and its observer has been told; after it the worker gives
// the device back and clears the record's running mark as its last act.
void FlashSequence(void *run);
