// The RS-232 run-time that the sensor link calls. Ports are known by number:
// numbers 1..k name the machine's serial ports in a stable order, after any
// devices that the program put in front with SetComPortDevice.
#pragma once

#include <cstddef>

// Error codes of the port operations. Each failure of OpenComConfig maps to one
// of them; the sensor link turns them into the operator's texts.
enum {
    kComUnknownSystemError = -1,
    kComInvalidPortNumber = -2,   // no device has that number
    kComPortNotOpen = -3,
    kComIoError = -4,
    kComNotASerialPort = -5,      // the device exists but is no serial line
    kComNoSerialPortFound = -6,   // the device named for the number is gone
    kComCannotOpenPort = -7,      // busy, or not permitted
    kComInvalidParameter = -13,
    kComTimeout = -99,
};

// Receive notification event bits.
enum {
    COM_EV_RXCHAR = 0x0001,
    COM_EV_RXFLAG = 0x0002,   // the event character arrived
    COM_EV_TXEMPTY = 0x0004,  // the output queue became empty
    COM_EV_RECEIVE = 0x8000,  // the input queue holds at least the notify count
};

using ComCallbackPtr = void (*)(int port, int eventMask, void *callbackData);

// Port table. Devices given here come first, in the order given (number 1 is
// the first); the machine's serial ports follow.
void SetComPortDevice(int number, const char *device);
void ClearComPortDevices();
// Number of ports known; fills device (at most size bytes) for number n.
int GetComPortCount();
int GetComPortDevice(int number, char *device, std::size_t size);

// Opens the port. deviceName "" means the device of the port number. Input
// bytes beyond inputQueueSize are dropped. Asserts DTR once the port is open.
// Returns 0, or one of the negative codes above.
int OpenComConfig(int port, const char *deviceName, long baudRate, int parity, int dataBits,
                  int stopBits, int inputQueueSize, int outputQueueSize);
int CloseCom(int port);  // closing a closed port returns 0 and does nothing
int SetComTime(int port, double timeoutSeconds);
int SetCTSMode(int port, int mode);
// callback nullptr or eventMask 0 switches the notification off. With bit
// COM_EV_RECEIVE the callback runs, during event processing, once the input
// queue has reached notifyCount bytes; it runs again only after the queue has
// fallen below the count and reached it anew.
int InstallComCallback(int port, int eventMask, int notifyCount, int eventCharacter,
                       ComCallbackPtr callback, void *callbackData);
// Queues count bytes and hands them to the device at once. Returns the number
// of bytes queued, or a negative code.
int ComWrt(int port, const char *buffer, int count);
// Reads up to count bytes, waiting at most the port's time-out for them.
// Returns the number of bytes read, or a negative code.
int ComRd(int port, char *buffer, int count);
// Bytes waiting in the input queue; also takes in what the device holds, so it
// grows even when the caller does not process events.
int GetInQLen(int port);
int FlushInQ(int port);
int FlushOutQ(int port);
