// The browser connections once they sit in a slot.
#pragma once

// One read on the slot's connection and all processing of it. Afterwards the
// slot is open or has been freed.
void ws_on_readable(int slot);

// Logs, closes the connection and frees its slot.
void ws_close(int slot);
