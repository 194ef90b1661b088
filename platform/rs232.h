// The RS-232 run-time that the sensor link calls. Ports are known by number:
// numbers 1..k name the machine's serial ports in a stable order, after any
// devices that the program put in front with SetComPortDevice.
#pragma once

#include <cstddef>

// Error codes of the port operations. Each failure of OpenComConfig maps to one
// of them; the sensor link turns them into the operator's texts:
//   number below 1, above the port count, or naming no device   kComInvalidPortNumber
//   the device does not exist (any more)                        kComNoSerialPortFound
//   held by another program (locked, or opened for it alone)     kComPortInUse
//   not permitted                                               kComCannotOpenPort
//   exists but takes no line settings (a file, /dev/null)       kComNotASerialPort
//   baud rate, parity, data or stop bits, queue size out of range  kComInvalidParameter
//   anything else                                               kComUnknownSystemError
// The other operations answer kComInvalidPortNumber for a number outside
// 1..kComMaxPorts, kComPortNotOpen for a closed port and kComIoError once the
// device has gone away while open (adapter pulled, far end closed).
enum {
    kComUnknownSystemError = -1,
    kComInvalidPortNumber = -2,  // no device has that number
    kComPortNotOpen = -3,
    kComIoError = -4,
    kComNotASerialPort = -5,     // the device exists but is no serial line
    kComNoSerialPortFound = -6,  // the device named for the number is gone
    kComCannotOpenPort = -7,     // not permitted
    kComPortInUse = -8,          // another program holds the device
    kComInvalidParameter = -13,
    kComTimeout = -99,
};

// Receive notification event bits.
enum {
    COM_EV_RXCHAR = 0x0001,
    COM_EV_RXFLAG = 0x0002,     // the event character arrived
    COM_EV_TXEMPTY = 0x0004,    // the output queue became empty
    COM_EV_LINE_LOST = 0x0100,  // the device went away; given to any installed callback
    COM_EV_RECEIVE = 0x8000,    // the input queue holds at least the notify count
};

enum { kComMaxPorts = 255 };

using ComCallbackPtr = void (*)(int port, int eventMask, void *callbackData);

// Port table. Devices given here come first, in the order given (number 1 is
// the first); the machine's serial ports follow.
void SetComPortDevice(int number, const char *device);
void ClearComPortDevices();
// Number of ports known; fills device (at most size bytes) for number n.
int GetComPortCount();
int GetComPortDevice(int number, char *device, std::size_t size);
// What the system says of the device behind the number: adapter name, maker
// and serial number where it gives them ("" for a pseudo-terminal).
int GetComPortDescription(int number, char *text, std::size_t size);

// Who holds the device of the number, where the system tells:
// "process 1234 (minicom)". Returns 1 with text filled, 0 when no holder is
// known (text then empty).
int GetComPortHolder(int number, char *text, std::size_t size);

// Opens the port. deviceName "" means the device of the port number; another
// name opens that device under the number. Input bytes beyond inputQueueSize
// (0 or less: 4096) are dropped. Only standard baud rates. Asserts DTR once
// the port is open; no flow control. The device is locked (flock) while open. Opening an open
// number closes it first and opens it afresh. Returns 0, or one of the negative codes above.
int OpenComConfig(int port, const char *deviceName, long baudRate, int parity, int dataBits,
                  int stopBits, int inputQueueSize, int outputQueueSize);
int CloseCom(int port);  // closing a closed port returns 0 and does nothing
// Time-out of ComRd; 1.5 s until it is set.
int SetComTime(int port, double timeoutSeconds);
int SetCTSMode(int port, int mode);
// callback nullptr or eventMask 0 switches the notification off. With bit
// COM_EV_RECEIVE the callback runs, during event processing, once the input
// queue has reached notifyCount bytes; it runs again only after the queue has
// fallen below the count and reached it anew. Installing a callback arms it
// afresh: if the queue already holds the count, it runs at the next event
// processing. COM_EV_RXFLAG and COM_EV_TXEMPTY are delivered the same way.
// The callback never runs inside a port operation.
// While a count is armed and part of it is in (or a request has just been
// written), the port does not wake the program for every byte: it looks
// again shortly before the rest can be there at line speed, and then takes
// the last bytes as they come. An event-character event comes with the bytes
// it arrived among.
int InstallComCallback(int port, int eventMask, int notifyCount, int eventCharacter,
                       ComCallbackPtr callback, void *callbackData);
// Wakes the event processing (without any callback) once the input queue
// holds count bytes, for a caller that waits for them while processing
// events; 0 (the default) switches it off.
int SetComWakeCount(int port, int count);
// Queues count bytes and hands them to the device at once. Returns the number
// of bytes queued, or a negative code.
int ComWrt(int port, const char *buffer, int count);
// Reads up to count bytes, waiting at most the port's time-out for them
// without processing events. Returns the number of bytes read (fewer after a
// time-out), or a negative code.
int ComRd(int port, char *buffer, int count);
// Bytes waiting in the input queue; also takes in what the device holds, so it
// grows even when the caller does not process events.
int GetInQLen(int port);
// 1 once the device of the open port has gone away, 0 while it is there, or a
// negative code for a port that is not open.
int ComLineLost(int port);
// Discards the input queue and what the device still holds.
int FlushInQ(int port);
int FlushOutQ(int port);
