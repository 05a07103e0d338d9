// Payload streams: the new content of one update file, read either from a
// loose file of that name or from an entry of the update container, both
// looked up relative to the current directory.
#pragma once

#include <windows.h>

#include <cstdint>

struct PayloadStream {
  int32_t inContainer;   // 0: loose file, 1: container entry
  HANDLE handle;         // the opened loose file or container
  uint32_t dataStart;    // absolute position of the payload's first byte
  uint32_t size;         // payload length in bytes
  uint32_t requested;    // byte count asked for by the last read
  uint32_t transferred;  // byte count delivered by the last read
};

// Opens the payload `name`: the loose file of that name if it can be opened,
// else the entry of that base name in `containerName`. Returns null when
// neither exists, when the entry is empty, runs past the end of the container
// or the container is malformed, or when a loose file is 4 GiB or larger.
// A stream that opens is whole: all `size` bytes can be read from it.
PayloadStream* OpenPayload(const char* name, const char* containerName);

// The payload's length in bytes. `stream` must be valid.
uint32_t PayloadSize(const PayloadStream* stream);

// Reads the next `count` bytes of the payload into `buffer` (which holds at
// least `count` bytes). Returns 1 if the read succeeded, 0 if it failed or
// the stream is null; `transferred` then holds what was delivered.
int ReadPayload(PayloadStream* stream, void* buffer, uint32_t count);

// Returns 1 once the last read has delivered all it asked for; 0 for a null
// stream, one without a handle, or a read that fell short.
int WaitPayload(const PayloadStream* stream);

// Closes the handle and releases the record. `stream` must be valid.
void ClosePayload(PayloadStream* stream);

// Waits, looking every 10 ms, until *count reaches `expected`. Returns 1 then,
// or 0 as soon as a look finds the count no higher than at the last look:
// synchronous transfers never grow their count later, so waiting on would
// never end.
int WaitTransfer(const volatile uint32_t* count, uint32_t expected);
